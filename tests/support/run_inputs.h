// Inputs and file-system helpers shared by the tests that run the real program over good and
// bad inputs: full-size exposures made once per machine, snapshots of output trees, small
// file systems mounted for full-disk faults.
#pragma once

#include <map>
#include <string>
#include <vector>

// Every regular file below root with its bytes.
std::map<std::string, std::string> snapshot(const std::string& root);
// The temporary files the writer leaves while a file is being written.
std::vector<std::string> temp_files(const std::string& root);
// Mounts a tmpfs of the given size on dir (needs privileges; false if refused).
bool try_mount_tmpfs(const std::string& dir, const std::string& size, bool read_only);
void unmount_all();

struct Inputs {
  std::string dir;
  std::string rgb, raw;          // full-size, valid (smooth data, quick to read)
  std::string rnd_rgb, rnd_raw;  // full-size, valid, random data
  std::string tiny_rgb, tiny_raw;
};


// The shared inputs, made on first use.
const Inputs& inputs();
std::string shq(const std::string& s);  // single-quoted for the shell
std::string good_inputs();               // "--rgb ... --raw ..." of the smooth full-size pair
std::string with_rgb(const std::string& rgb);
