// Times CIniFile::Load against inih's callback parser and its INIReader on
// generated files, with the files in the page cache. Prints MB/s and ratios.
//   ini_load [--runs N] [--dir DIR]
#include <INIReader.h>
#include <ini.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ini/ini_file.h"

namespace {

struct Input {
    std::string label;
    std::string path;
    double megabytes;
    std::size_t lines;
};

std::string WriteInput(const std::string& path, const std::function<void(std::ofstream&)>& fill) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    fill(out);
    return path;
}

Input Make(const std::string& dir, const std::string& label, const std::string& name,
           const std::function<void(std::ofstream&)>& fill) {
    const std::string path = WriteInput(dir + "/" + name, fill);
    std::ifstream in(path, std::ios::binary);
    std::size_t bytes = 0, lines = 0;
    for (std::string line; std::getline(in, line);) {
        bytes += line.size() + 1;
        ++lines;
    }
    return Input{label, path, bytes / 1e6, lines};
}

// Deterministic values of varying length, like file lists.
std::string Value(unsigned i) {
    std::string value = "file" + std::to_string(i * 2654435761u % 100000) + ".bmp";
    for (unsigned k = 0; k < i % 6; ++k) value += ",extra_picture" + std::to_string(k) + ".png";
    return value;
}

Input LargeFile(const std::string& dir) {
    return Make(dir, "large (1000 x 1000 keys)", "large.ini", [](std::ofstream& out) {
        for (unsigned s = 0; s < 1000; ++s) {
            out << "; section " << s << " of the generated manifest\r\n";
            out << "[section" << s << "]\r\n";
            for (unsigned k = 0; k < 999; ++k) {
                if (k % 100 == 0) out << "# comment " << k << "\r\n";
                out << "key" << k << "=" << Value(s * 1000 + k) << "\r\n";
            }
        }
    });
}

Input OneSection(const std::string& dir, unsigned keys) {
    return Make(dir, "one section, " + std::to_string(keys) + " keys",
                "section" + std::to_string(keys) + ".ini", [keys](std::ofstream& out) {
                    out << "[cltskin]\r\n";
                    for (unsigned k = 0; k < keys; ++k) out << "key" << k << "=" << Value(k) << "\r\n";
                });
}

Input SmallManifest(const std::string& dir) {
    return Make(dir, "small manifest", "small.ini", [](std::ofstream& out) {
        out << "; update manifest\r\n[cltskin]\r\nfilelist=background.bmp,button.bmp,"
               "button_hover.bmp,frame.bmp\r\n[cltlogo]\r\nfilelist=logo.png,logo_small.png\r\n"
               "[cltmain]\r\nmainfile=Quillmon.exe\r\n";
    });
}

struct Timing {
    double minimum;
    double median;
};

Timing Measure(int runs, int repeat, const std::function<void()>& body) {
    std::vector<double> seconds;
    body();  // warm the page cache and the allocator
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < repeat; ++i) body();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        seconds.push_back(took.count() / repeat);
    }
    std::sort(seconds.begin(), seconds.end());
    return Timing{seconds.front(), seconds[seconds.size() / 2]};
}

int CountingHandler(void* user, const char*, const char*, const char*) {
    ++*static_cast<std::size_t*>(user);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 7;
    std::string dir = "/tmp/relayhive-bench-ini";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(5, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
    }
    std::string mkdir = "mkdir -p '" + dir + "'";
    if (std::system(mkdir.c_str()) != 0) return 1;

    std::vector<Input> inputs = {LargeFile(dir), OneSection(dir, 200000), SmallManifest(dir)};
    std::printf("INI load, %d runs each, times per load (min / median), file in the page cache\n", runs);
    std::printf("%-28s %9s %22s %22s %22s %9s %9s\n", "file", "MB", "CIniFile::Load",
                "inih ini_parse", "INIReader", "vs inih", "vs INIRdr");
    for (const Input& input : inputs) {
        const int repeat = input.megabytes < 1 ? 2000 : 1;
        const Timing ours = Measure(runs, repeat, [&] {
            CIniFile ini(input.path);
            ini.Load();
        });
        const Timing inih = Measure(runs, repeat, [&] {
            std::size_t count = 0;
            ini_parse(input.path.c_str(), CountingHandler, &count);
        });
        const Timing reader = Measure(runs, repeat, [&] { INIReader parsed(input.path); });
        auto cell = [&](const Timing& t) {
            static char text[4][64];
            static int next = 0;
            char* out = text[next++ % 4];
            if (t.minimum < 0.01) {
                std::snprintf(out, 64, "%7.1fus %7.1fMB/s", t.minimum * 1e6, input.megabytes / t.minimum);
            } else {
                std::snprintf(out, 64, "%8.4fs %7.1fMB/s", t.minimum, input.megabytes / t.minimum);
            }
            return out;
        };
        std::printf("%-28s %9.2f %22s %22s %22s %8.2fx %8.2fx\n", input.label.c_str(),
                    input.megabytes, cell(ours), cell(inih), cell(reader),
                    ours.minimum / inih.minimum, ours.minimum / reader.minimum);
        std::printf("%-28s %9s %13.6fs med. %13.6fs med. %13.6fs med.\n", "", "", ours.median,
                    inih.median, reader.median);
    }

    std::printf("\nScaling: one section of N keys, time per line must stay flat\n");
    std::printf("%-10s %12s %14s\n", "keys", "Load (min)", "ns per line");
    for (unsigned keys : {25000u, 50000u, 100000u, 200000u}) {
        const Input input = OneSection(dir, keys);
        const Timing t = Measure(runs, 1, [&] {
            CIniFile ini(input.path);
            ini.Load();
        });
        std::printf("%-10u %11.4fs %14.1f\n", keys, t.minimum, t.minimum * 1e9 / input.lines);
    }
    return 0;
}
