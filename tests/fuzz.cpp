#include "tests/fuzz.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support.h"

namespace qt {

namespace {

uint64_t Setting(const char* name, uint64_t otherwise) {
    const char* text = std::getenv(name);
    if (!text || !*text) return otherwise;
    return std::strtoull(text, nullptr, 10);
}

}  // namespace

Fuzz::Fuzz(const std::string& reader, int iterations)
    : reader_(reader),
      seed_(Setting(
          "QUORIN_FUZZ_SEED",
          static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) %
              1000000000)),
      iterations_(static_cast<int>(Setting("QUORIN_FUZZ_ITERATIONS", iterations))),
      seconds_(static_cast<double>(Setting("QUORIN_FUZZ_SECONDS", 50))),
      start_(std::chrono::steady_clock::now()),
      random_(seed_) {
    std::printf("fuzz %s: seed %llu (QUORIN_FUZZ_SEED=%llu repeats this run), up to %d inputs\n",
                reader_.c_str(), static_cast<unsigned long long>(seed_),
                static_cast<unsigned long long>(seed_), iterations_);
    std::fflush(stdout);
}

Fuzz::~Fuzz() {
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::printf("fuzz %s: seed %llu, %d inputs in %.1f s\n", reader_.c_str(),
                static_cast<unsigned long long>(seed_), done_, took);
    std::fflush(stdout);
}

std::vector<Fuzz::Kept> Fuzz::Regressions() const {
    std::vector<Kept> kept;
    const std::string folder = std::string(QUORIN_FUZZ_CASES) + "/" + reader_;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "/*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return kept;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::ifstream in(folder + "/" + found.cFileName, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        kept.push_back({found.cFileName, bytes.str()});
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(kept.begin(), kept.end(),
              [](const Kept& a, const Kept& b) { return a.name < b.name; });
    return kept;
}

bool Fuzz::Next() {
    if (done_ >= iterations_) return false;
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (took > seconds_) return false;
    ++done_;
    return true;
}

std::string Fuzz::KeepFailure(const std::string& bytes, const std::string& extension) {
    const std::string name =
        reader_ + "-" + std::to_string(seed_) + "-" + std::to_string(done_) + extension;
    const std::string path = Utf8(TempPath(quorin::Wide(name)));
    std::ofstream(path, std::ios::binary) << bytes;
    std::printf("fuzz %s: failing input kept in %s; add it to tests/fuzz/%s/\n", reader_.c_str(),
                path.c_str(), reader_.c_str());
    std::fflush(stdout);
    return path;
}

}  // namespace qt
