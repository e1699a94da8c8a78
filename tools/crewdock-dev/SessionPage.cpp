// SPDX-License-Identifier: MIT
#include "SessionPage.h"

#include <algorithm>

#include "FormCoding.h"

namespace crewdock {

std::string PageStart(std::string_view title) {
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>";
    page += HtmlEscape(title);
    page +=
        "</title>\n<style>body{font-family:sans-serif;margin:2em;background:#282c51;color:#fff}"
        "a{color:#9cf}table{border-collapse:collapse}td,th{padding:2px 12px;text-align:left}"
        "td.n{text-align:right}</style></head>\n<body>\n<h1>";
    page += HtmlEscape(title);
    page += "</h1>\n";
    return page;
}

SessionPageBody::SessionPageBody(const SessionStore& store, uint32_t number,
                                 std::shared_ptr<const std::vector<CatalogEntry>> catalog,
                                 CatalogState state)
    : store_(store), number_(number), catalog_(std::move(catalog)), state_(state) {
    if (state_ == CatalogState::Listed && !catalog_) {
        state_ = CatalogState::Unreadable;
    }
    const StoredSession held = store_.Lookup(number_);
    serial_ = held.serial;
    if (held.session == nullptr) {
        section_ = kDone;
        return;
    }
    if (state_ == CatalogState::Listed) {
        for (const auto& entry : *catalog_) {
            if (CheckEntry(entry, held.session->packages, *held.byName)) {
                anyShortfall_ = true;
                break;
            }
        }
    }
    // One pass over every part, as Next will make them, gives the length.
    Part parts[kMaxParts];
    std::string scratch[2];
    for (int s = kPrologue; s < kDone; ++s) {
        const auto section = static_cast<Section>(s);
        const std::size_t rows = RowCount(held, section);
        for (std::size_t row = 0; row < rows; ++row) {
            const std::size_t count = RowParts(held, section, row, parts, scratch);
            for (std::size_t k = 0; k < count; ++k) {
                const Part& p = parts[k];
                length_ += CodedSize(p.text, p.coding);
            }
        }
    }
}

std::size_t SessionPageBody::RowCount(const StoredSession& held, Section section) const {
    switch (section) {
        case kReceived:
            return held.session->packages.size();
        case kDownloads:
            return anyShortfall_ ? catalog_->size() : 0;
        case kDone:
            return 0;
        default:
            return 1;
    }
}

std::size_t SessionPageBody::RowParts(const StoredSession& held, Section section, std::size_t row,
                                      Part (&parts)[kMaxParts], std::string (&scratch)[2]) const {
    const Session& session = *held.session;
    const bool anyReceived = !session.packages.empty();
    std::size_t n = 0;
    const auto text = [&](std::string_view t) { parts[n++] = {Coding::None, t}; };
    const auto html = [&](std::string_view t) { parts[n++] = {Coding::Html, t}; };
    switch (section) {
        case kPrologue:
            scratch[0] = PageStart("Session " + std::to_string(number_)) + "<p>Game: ";
            text(scratch[0]);
            html(session.game);
            text(", client version: ");
            html(session.version);
            scratch[1] = "</p>\n<h2>Packages received (" + std::to_string(session.packages.size()) +
                         ")</h2>\n";
            scratch[1] += anyReceived ? "<table class=\"received\">\n<tr><th>Name</th><th>Size "
                                        "(bytes)</th></tr>\n"
                                      : "<p>The list is empty: no package was found in your base "
                                        "folder.</p>\n";
            text(scratch[1]);
            break;
        case kReceived: {
            const PackageEntry& p = session.packages[row];
            text("<tr><td>");
            html(p.name);
            scratch[0] = "</td><td class=\"n\">" + std::to_string(p.size) + "</td></tr>\n";
            text(scratch[0]);
            break;
        }
        case kMiddle:
            scratch[0] = anyReceived ? "</table>\n" : "";
            scratch[0] += "<h2>Packages to download</h2>\n";
            switch (state_) {
                case CatalogState::None:
                    scratch[0] += "<p>This server has no catalog to compare with.</p>\n";
                    break;
                case CatalogState::Unreadable:
                    scratch[0] += "<p>The catalog folder cannot be read just now.</p>\n";
                    break;
                case CatalogState::Listed:
                    scratch[0] += anyShortfall_
                                      ? "<table class=\"download\">\n<tr><th>Name</th><th>Size "
                                        "(bytes)</th><th>Why</th></tr>\n"
                                      : "<p>You have every package of the catalog: nothing to "
                                        "download.</p>\n";
                    break;
            }
            text(scratch[0]);
            break;
        case kDownloads: {
            const auto shortfall = CheckEntry((*catalog_)[row], session.packages, *held.byName);
            if (!shortfall) {
                break;
            }
            const std::string_view name = (*catalog_)[row].name;
            text("<tr><td><a href=\"/crewdock/files/");
            parts[n++] = {Coding::Percent, name};
            text("\">");
            html(name);
            scratch[0] = "</a></td><td class=\"n\">" + std::to_string(shortfall->entry.size) +
                         "</td><td>" +
                         (shortfall->missing
                              ? std::string("missing")
                              : "you have " + std::to_string(shortfall->playerSize) + " bytes") +
                         "</td></tr>\n";
            text(scratch[0]);
            break;
        }
        case kEpilogue:
            scratch[0] = anyShortfall_ ? "</table>\n" : "";
            scratch[0] += kPageEnd;
            text(scratch[0]);
            break;
        case kDone:
            break;
    }
    return n;
}

bool SessionPageBody::Next(std::string& out, std::size_t maxBytes) {
    if (section_ == kDone) {
        return true;
    }
    const StoredSession held = store_.Lookup(number_);
    if (held.session == nullptr || held.serial != serial_) {
        return false;
    }
    const std::size_t target = out.size() + maxBytes;
    Part parts[kMaxParts];
    std::string scratch[2];
    while (out.size() < target && section_ != kDone) {
        if (row_ >= RowCount(held, section_)) {
            section_ = static_cast<Section>(section_ + 1);
            row_ = part_ = offset_ = 0;
            continue;
        }
        const std::size_t count = RowParts(held, section_, row_, parts, scratch);
        while (part_ < count && out.size() < target) {
            const Part& p = parts[part_];
            // A piece may end inside a long name.
            offset_ = AppendCoded(out, p.text, p.coding, offset_, target);
            if (offset_ == p.text.size()) {
                ++part_;
                offset_ = 0;
            }
        }
        if (part_ >= count) {
            ++row_;
            part_ = offset_ = 0;
        }
    }
    return true;
}

}  // namespace crewdock
