// SPDX-License-Identifier: MIT
// What crewdock-dev answers, independent of any socket: routes a parsed request to its page,
// keeps posted package lists, compares them with the catalog.
//
// Routes:
//   POST /crewdock/sync_session.php      a player's package list (form body) under its session
//   GET  /crewdock/sync.php?session=N    the session page: what was received, what to download
//   GET  /crewdock/files/NAME            a catalog file
//   GET  /, GET /crewdock/               short pages
// HEAD is answered wherever GET is.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Catalog.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "SessionStore.h"

namespace crewdock {

class CrewdockApp {
  public:
    explicit CrewdockApp(std::optional<std::filesystem::path> catalog = std::nullopt,
                         SessionStore store = SessionStore());

    HttpResponse Handle(const HttpRequest& request);

    // A short HTML page for a failed request: the status, its reason and `detail`.
    static HttpResponse ErrorPage(int status, std::string_view detail);

    const SessionStore& sessions() const { return sessions_; }

  private:
    HttpResponse PostInventory(const HttpRequest& request);
    HttpResponse SessionPage(const HttpRequest& request);
    HttpResponse CatalogFile(std::string_view name);
    HttpResponse HomePage() const;
    HttpResponse DeveloperPage();
    // The catalog as listed at most a second ago (null when it cannot be read). Pages still
    // being sent keep the listing they started with; an unchanged folder shares one listing.
    std::shared_ptr<const std::vector<CatalogEntry>> CatalogListing();

    std::optional<std::filesystem::path> catalog_;
    SessionStore sessions_;
    std::shared_ptr<const std::vector<CatalogEntry>> listing_;
    std::chrono::steady_clock::time_point listedAt_;
};

// A session number as sent: 1 to 9 decimal digits.
std::optional<uint32_t> ParseSessionNumber(std::string_view text);

}  // namespace crewdock
