// Replays fuzz inputs without libFuzzer: every file named on the command
// line, or every file inside a directory named there, goes once through the
// target's LLVMFuzzerTestOneInput. Built with any compiler, so the ordinary
// test suite (and its sanitizer builds) replays the seed corpus and the
// inputs kept in fuzz/regressions/.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static void collect(const std::string &path, std::vector<std::string> &files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR *d = opendir(path.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != ".." && name != "README.md")
            collect(path + "/" + name, files);
    }
    closedir(d);
}

int main(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++)
        collect(argv[i], files);
    std::sort(files.begin(), files.end());
    for (const std::string &p : files) {
        std::ifstream f(p, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(f)),
                                      std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    printf("replayed %zu inputs\n", files.size());
    return 0;
}
