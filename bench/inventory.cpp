// SPDX-License-Identifier: MIT
// Inventory: the scan of a game folder and the composition of the request, as the synchroniser
// does it on the press of its button, for a folder of 32767 *.pk3 files and one of 1000.
// The folders live under $TMPDIR (or /tmp) for the run only; file sizes are set without
// writing data. The page cache is warm, as it is for a player who has just played.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "BenchSupport.h"
#include "Inventory.h"

namespace {

using namespace bench;
namespace fs = std::filesystem;

// A folder of `count` packages (plus a few other files the scan must skip).
class GameFolder {
  public:
    GameFolder(const fs::path& root, std::size_t count) : path_(root / std::to_string(count)) {
        fs::create_directories(path_);
        char name[64];
        for (std::size_t i = 0; i < count; ++i) {
            std::snprintf(name, sizeof name, "zz_map pack-%05zu%s", i,
                          i % 3 == 0 ? ".PK3" : ".pk3");
            Fd f(::open((path_ / name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
            if (f.get() < 0 ||
                ::ftruncate(f.get(), static_cast<off_t>((i * 7919) % (64 << 20))) != 0) {
                Fail("inventory: cannot create " + (path_ / name).string());
            }
        }
        for (const char* other : {"readme.txt", "config.cfg", "pak0.pk3.bak"}) {
            Fd f(::open((path_ / other).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        }
    }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

// Milliseconds for one scan and composition.
double ScanAndCompose(const GameFolder& folder, std::size_t expected) {
    const auto start = Clock::now();
    std::vector<packwarden::PackageEntry> entries;
    if (packwarden::ListPackages(folder.Path().string(), entries) != packwarden::Listing::Listed) {
        Fail("inventory: the scan failed");
    }
    const std::string body = packwarden::InventoryBody(2, 4242, entries);
    const std::string request =
        packwarden::ComposeRequest(packwarden::HeaderTemplate("localhost"), body);
    const double ms = Seconds(Clock::now() - start) * 1000.0;
    if (entries.size() != expected || request.size() < body.size()) {
        Fail("inventory: listed " + std::to_string(entries.size()) + " of " +
             std::to_string(expected));
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    // Each sample is short: take more of them.
    options.rounds = options.quick ? 3 : 9;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/packwarden-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        Fail("inventory: cannot make a temporary folder");
    }
    const fs::path root = pattern;
    {
        const GameFolder large(root, packwarden::MaxInventoryEntries);
        const GameFolder small(root, 1000);
        // One pass each to warm the caches.
        ScanAndCompose(large, packwarden::MaxInventoryEntries);
        ScanAndCompose(small, 1000);

        Peers peers(options);
        peers.Add("large", [&] { return ScanAndCompose(large, packwarden::MaxInventoryEntries); });
        peers.Add("small", [&] { return ScanAndCompose(small, 1000); });
        peers.Run();

        ReportValue(peers, "inventory_ms_32767", "large");
        if (peers.Has("large") && peers.Has("small")) {
            Report("inventory_per_file_32767_vs_1000",
                   (peers.Value("large") / 32767.0) / (peers.Value("small") / 1000.0));
        }
        ReportValue(peers, "inventory_ms_1000", "small");
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
