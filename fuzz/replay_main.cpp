// A plain runner for the fuzz target, without libFuzzer: feeds every file
// named on the command line (directories are walked, one level) to the
// target and exits non-zero if any input fails. Failures abort, as under
// the fuzzer, after naming the input.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_stats.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::string> expand(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return {};
    }
    if (!S_ISDIR(info.st_mode)) return {path};
    std::vector<std::string> files;
    if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == ".." || name.front() == '.') continue;
            const std::string full = path + "/" + name;
            if (stat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode)) files.push_back(full);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    bool missing = false;
    for (int i = 1; i < argc; ++i) {
        const auto found = expand(argv[i]);
        if (found.empty()) missing = true;
        files.insert(files.end(), found.begin(), found.end());
    }
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay: %s\n", file.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    tarvek_fuzz::print_stats();
    std::fprintf(stderr, "replay: %zu inputs passed\n", files.size());
    return missing ? 2 : 0;
}
