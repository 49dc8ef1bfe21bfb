// plenosr-batch: runs plenosr over every exposure of a manifest, resumably, on one machine or
// as the tasks of a job array; each exposure runs the plenosr program installed beside it.
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "lib/batch_command.h"

int main(int argc, char** argv) {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
  dir = dir.find('/') == std::string::npos ? "." : dir.substr(0, dir.rfind('/'));
  return batch_main(std::vector<std::string>(argv + 1, argv + argc), dir + "/plenosr");
}
