// tornaxalert: follows a tornax daemon's status lines from another host.
#include "client/tornaxalert.h"

int main(int argc, char **argv) {
  return tornax::tornaxalert_main(argc, argv);
}
