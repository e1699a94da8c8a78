// SPDX-License-Identifier: MIT
// The inventory request: which *.pk3 packages a folder holds, as one HTTP/1.0 form post.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace packwarden {

// One request carries at most this many packages (the entry counter is 16-bit signed).
constexpr std::size_t MaxInventoryEntries = 32767;

struct PackageEntry {
    std::string name;  // bare file name: the file system's bytes (Linux), UTF-8 (Windows)
    int64_t size = 0;  // bytes; 0 for a folder
};

// Draws session numbers 0..10000: r * 10000 rounded to the nearest integer, a half going to
// the even neighbour, r a single-precision value in [0, 1).
class SessionGenerator {
  public:
    // Seeded once from the time of day mixed with the system's random device, so two players
    // starting in the same second draw different sessions.
    SessionGenerator();
    explicit SessionGenerator(std::seed_seq& seed);

    int16_t NextSessionNumber();
    static int16_t SessionFromSingle(float r);

  private:
    std::mt19937 engine_;
};

// The listing of a folder, one realisation per platform (posix/, win32/ PackageListing.cpp).
//
// `folder` with the platform's separator at its end ("/", on Windows "\"; "" becomes it).
std::string WithTrailingSeparator(std::string folder);

// Lists the entries of `folder` whose names end in ".pk3" without regard to case, files and
// folders alike, in the order the file system yields them; hidden entries are skipped (on
// Linux names starting with ".", on Windows those marked hidden or system), as is any single
// entry that cannot be examined (it vanished while listed, it is a link to nothing or in a
// loop). Unless Listed, `entries` is empty: Unreadable when the folder cannot be opened,
// searched or read, TooMany when it holds more than MaxInventoryEntries matches. Linux takes and
// gives the file system's bytes, whatever their encoding; Windows takes UTF-8 and gives the
// names as UTF-8.
enum class Listing { Listed, Unreadable, TooMany };
Listing ListPackages(const std::string& folder, std::vector<PackageEntry>& entries);

// Form encoding: letters, digits and "-._*" as they are, space as "+", every other byte %XX.
std::string FormEncode(std::string_view text);

// game=ef2&version=V&session=S then &filename<n>=name&filesize<n>=size per entry, each name
// and value form-encoded.
std::string InventoryBody(int32_t version, int32_t session,
                          const std::vector<PackageEntry>& entries);

// The request's first four header lines, each ended by CR LF.
std::string HeaderTemplate(std::string_view hostHeader);

// headerTemplate + "Content-length: N" CR LF CR LF + body + CR LF; N counts the body's bytes.
std::string ComposeRequest(std::string_view headerTemplate, std::string_view body);

}  // namespace packwarden
