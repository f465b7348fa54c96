// One library operation per process, for timing and instruction counts:
//   rh_bench_op load PATH        CIniFile::Load of PATH
//   rh_bench_op copy SRC DEST    TransferFile from SRC to DEST
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "ini/ini_file.h"
#include "update/path_style.h"
#include "update/transfer.h"

int main(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    int result = 0;
    if (argc == 3 && std::strcmp(argv[1], "load") == 0) {
        CIniFile ini(argv[2]);
        result = ini.Load() ? 1 : 0;
    } else if (argc == 4 && std::strcmp(argv[1], "copy") == 0) {
        FILE* source = std::fopen(argv[2], "rb");
        if (source == nullptr) {
            std::perror(argv[2]);
            return 2;
        }
        const std::string scratch = ScratchPathFor(argv[3], NativePathStyle(), NativeCodePage());
        result = TransferFile(argv[3], scratch.c_str(), source, argv[2]);
    } else {
        std::fprintf(stderr, "usage: rh_bench_op load PATH | copy SRC DEST\n");
        return 2;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("result %d seconds %.6f\n", result, took.count());
    return 0;
}
