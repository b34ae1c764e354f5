// Runs a fuzz target's entry point once on every file named on the command
// line or found in a named directory: the kept corpus as a regression test,
// in builds without libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool read_file(const std::string &path, std::string *out) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

void collect(const std::string &path, std::vector<std::string> *files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            collect(path + "/" + entry->d_name, files);
    }
    closedir(dir);
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++)
        collect(argv[i], &files);
    std::sort(files.begin(), files.end());
    // An empty corpus would make this test pass without running anything.
    if (files.empty()) {
        fprintf(stderr, "no inputs found\n");
        return 1;
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string &file : files) {
        std::string data;
        if (!read_file(file, &data)) {
            fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        fprintf(stderr, "input %s\n", file.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    fprintf(stderr, "%zu inputs passed\n", files.size());
    return 0;
}
