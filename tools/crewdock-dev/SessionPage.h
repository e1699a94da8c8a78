// SPDX-License-Identifier: MIT
// The session page, produced piece by piece from the stored posting and a catalog listing. Every
// ' of a name becomes five bytes on the page, so a page can be many times larger than the
// posting it shows; built whole, each client asking for it would hold a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Catalog.h"
#include "FormCoding.h"
#include "HttpResponse.h"
#include "SessionStore.h"

namespace crewdock {

// The frame every page shares: the head with `title` (escaped) as title and heading, and the end.
std::string PageStart(std::string_view title);
constexpr std::string_view kPageEnd = "</body></html>\n";

enum class CatalogState {
    None,        // the server has no catalog
    Unreadable,  // it has one, but the folder cannot be read just now
    Listed,
};

// Reads the posting from `store` as each piece is made, so it holds no copy; if the posting is
// replaced or dropped meanwhile, Next fails rather than mix two postings. `store` must outlive
// the body. The session must be held when the body is made.
class SessionPageBody final : public BodySource {
  public:
    SessionPageBody(const SessionStore& store, uint32_t number,
                    std::shared_ptr<const std::vector<CatalogEntry>> catalog, CatalogState state);

    uint64_t Length() const override { return length_; }
    bool Next(std::string& out, std::size_t maxBytes) override;

  private:
    enum Section { kPrologue, kReceived, kMiddle, kDownloads, kEpilogue, kDone };
    struct Part {
        Coding coding = Coding::None;
        std::string_view text;
    };
    static constexpr std::size_t kMaxParts = 7;

    // The parts of one row of a section; none for a catalog entry the player has. `scratch`
    // holds the numbers and fixed texts the parts point into.
    std::size_t RowParts(const StoredSession& held, Section section, std::size_t row,
                         Part (&parts)[kMaxParts], std::string (&scratch)[2]) const;
    std::size_t RowCount(const StoredSession& held, Section section) const;

    const SessionStore& store_;
    uint32_t number_;
    uint64_t serial_;
    std::shared_ptr<const std::vector<CatalogEntry>> catalog_;
    CatalogState state_;
    bool anyShortfall_ = false;
    uint64_t length_ = 0;
    // Where the next piece starts.
    Section section_ = kPrologue;
    std::size_t row_ = 0;
    std::size_t part_ = 0;
    std::size_t offset_ = 0;  // into the part's source text
};

}  // namespace crewdock
