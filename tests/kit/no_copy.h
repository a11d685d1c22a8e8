// The test kit: a base for the helpers that own a descriptor, a process or a
// folder, so that a copy can't close, kill or remove it twice.
#ifndef TORNAX_TESTS_KIT_NO_COPY_H
#define TORNAX_TESTS_KIT_NO_COPY_H

namespace tornax::test {

class NoCopy {
 public:
  NoCopy() = default;
  NoCopy(const NoCopy &) = delete;
  NoCopy &operator=(const NoCopy &) = delete;
  NoCopy(NoCopy &&) = default;
  NoCopy &operator=(NoCopy &&) = default;

 protected:
  ~NoCopy() = default;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_KIT_NO_COPY_H
