#include "common/status_auth.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/kit/files.h"
#include "tests/support/status_key.h"

namespace tornax {
namespace {

TEST(StatusAuthTest, HelloCarriesANonce) {
  const AuthNonce nonce = new_auth_nonce();
  EXPECT_NE(nonce, new_auth_nonce());
  const std::string hello = auth_hello(nonce);
  ASSERT_EQ(hello.size(), 6u + 32u + 1u);
  EXPECT_EQ(parse_auth_hello(hello.substr(0, hello.size() - 1)), nonce);
  const std::string bad_hellos[] = {hello.substr(0, 37), hello.substr(0, 38) + "0",
                                    "auth1" + hello.substr(5, 33), "AUTH1 " + std::string(32, 'g'),
                                    ""};
  for (const std::string &bad : bad_hellos) {
    EXPECT_FALSE(parse_auth_hello(bad)) << bad;
  }
}

TEST(StatusAuthTest, TaggedLinesAndWhatIsNotOne) {
  const StatusKey key = test::key_of(test::key_hex);
  const AuthNonce client = new_auth_nonce(), daemon = new_auth_nonce();
  AuthStream sender(key, client, daemon);
  char out[auth_line_size];
  const std::string empty(out, sender.tag("", out));  // an empty identification line
  const std::string long_line(out, sender.tag(std::string(98, 'x'), out));
  EXPECT_EQ(long_line.size(), 98u + 3u + 64u + 1u);
  EXPECT_EQ(long_line.substr(98, 3), " 1 ");

  AuthStream receiver(key, client, daemon);
  std::string_view content = "unchanged";
  const std::string not_tagged[] = {"no tag", empty.substr(0, empty.size() - 2),
                                    " x " + std::string(64, 'a'), std::string(64, 'a')};
  for (const std::string &bad : not_tagged) {
    EXPECT_EQ(receiver.check(bad, content), AuthCheck::malformed) << bad;
  }
  EXPECT_EQ(content, "unchanged");
  const std::string_view first(empty.data(), empty.size() - 1);
  EXPECT_EQ(receiver.check(first, content), AuthCheck::ok);
  EXPECT_EQ(content, "");
  const std::string_view second(long_line.data(), long_line.size() - 1);
  EXPECT_EQ(receiver.check(second, content), AuthCheck::ok);
  EXPECT_EQ(content, std::string(98, 'x'));
}

TEST(StatusAuthTest, KeyFileBelongsToItsUserAlone) {
  test::TempDir dir;
  std::string error;
  const std::string path =
      test::write_key_file(dir.file("key"), "\n  " + test::key_hex + " \r\n", 0400);
  EXPECT_EQ(read_status_key(path.c_str(), error), test::key_of(test::key_hex));
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(read_status_key(path.c_str(), error));
  EXPECT_EQ(error, "owned by another user");
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(read_status_key(fifo.c_str(), error));
  EXPECT_EQ(error, "not a regular file");
  test::write_key_file(dir.file("long"), test::key_hex + "00", 0600);
  EXPECT_FALSE(read_status_key(dir.file("long").c_str(), error));
  EXPECT_EQ(error, "not 64 hexadecimal digits");
}

}  // namespace
}  // namespace tornax
