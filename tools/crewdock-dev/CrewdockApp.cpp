// SPDX-License-Identifier: MIT
#include "CrewdockApp.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "FormCoding.h"
#include "SessionPage.h"

namespace crewdock {

namespace {

constexpr std::string_view kSubmitPath = "/crewdock/sync_session.php";
constexpr std::string_view kSessionPath = "/crewdock/sync.php";
constexpr std::string_view kFilesPrefix = "/crewdock/files/";

bool AllDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<int64_t> ParseSize(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    if (!AllDigits(text) || text.size() > 18) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (const char c : text) {
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

// "filename12" -> 12 for prefix "filename"; indices are written without leading zeros.
std::optional<std::size_t> FieldIndex(std::string_view key, std::string_view prefix) {
    if (key.substr(0, std::min(key.size(), prefix.size())) != prefix) {
        return std::nullopt;
    }
    const std::string_view digits = key.substr(prefix.size());
    if (!AllDigits(digits) || digits.size() > 9 || (digits.size() > 1 && digits.front() == '0')) {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (const char c : digits) {
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

// filenameN and filesizeN, N = 0, 1, 2, ... without gaps; each key once. Moves the names out
// of `fields` into `packages`, or says what is wrong with the fields.
std::optional<std::string> TakePackages(FormFields& fields, std::vector<PackageEntry>& packages) {
    const std::string gaps =
        "The package fields must run filename0, filesize0, filename1, ... without gaps";
    // There cannot be more entries than half the fields, so a larger index is a gap: no map,
    // nothing sorted.
    struct Slot {
        std::optional<std::string> name;
        std::optional<int64_t> size;
    };
    std::vector<Slot> slots;
    const std::size_t maxEntries = fields.size() / 2;
    const auto slotFor = [&](std::size_t index) -> Slot* {
        if (index >= maxEntries) {
            return nullptr;
        }
        if (index >= slots.size()) {
            slots.resize(index + 1);
        }
        return &slots[index];
    };
    for (auto& [key, value] : fields) {
        if (const auto i = FieldIndex(key, "filename")) {
            Slot* slot = slotFor(*i);
            if (slot == nullptr) {
                return gaps + ".";
            }
            if (slot->name) {
                return "The field " + Excerpt(key) + " appears twice.";
            }
            slot->name = std::move(value);
        } else if (const auto j = FieldIndex(key, "filesize")) {
            Slot* slot = slotFor(*j);
            const auto size = ParseSize(value);
            if (slot == nullptr) {
                return gaps + ".";
            }
            if (slot->size || !size) {
                return "The field " + Excerpt(key) + " is repeated or not a number.";
            }
            slot->size = *size;
        }
    }
    packages.reserve(slots.size());
    for (std::size_t index = 0; index < slots.size(); ++index) {
        Slot& slot = slots[index];
        if (!slot.name || !slot.size) {
            return gaps + "; entry " + std::to_string(index) + " is incomplete.";
        }
        packages.push_back({std::move(*slot.name), *slot.size});
    }
    return std::nullopt;
}

HttpResponse Page(int status, std::string body) {
    HttpResponse response;
    response.status = status;
    response.body = std::make_unique<TextBody>(std::move(body));
    return response;
}

HttpResponse MethodNotAllowed(std::string_view allow) {
    HttpResponse response = CrewdockApp::ErrorPage(
        405, "This address answers " + std::string(allow) + " requests only.");
    response.extraHeaders.emplace_back("Allow", std::string(allow));
    return response;
}

std::string MediaType(std::string_view contentType) {
    contentType = contentType.substr(0, contentType.find(';'));
    while (!contentType.empty() && (contentType.back() == ' ' || contentType.back() == '\t')) {
        contentType.remove_suffix(1);
    }
    std::string lower(contentType);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

}  // namespace

std::optional<uint32_t> ParseSessionNumber(std::string_view text) {
    if (!AllDigits(text) || text.size() > 9) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (const char c : text) {
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

CrewdockApp::CrewdockApp(std::optional<std::filesystem::path> catalog, SessionStore store)
    : catalog_(std::move(catalog)), sessions_(std::move(store)) {}

HttpResponse CrewdockApp::ErrorPage(int status, std::string_view detail) {
    std::string title = std::to_string(status) + " " + std::string(ReasonPhrase(status));
    std::string body = PageStart(title);
    body += "<p>";
    body += HtmlEscape(detail);
    body += "</p>\n<p><a href=\"/crewdock/\">crewdock</a></p>\n";
    body += kPageEnd;
    return Page(status, std::move(body));
}

HttpResponse CrewdockApp::Handle(const HttpRequest& request) {
    const bool isGet = request.method == "GET" || request.method == "HEAD";
    const bool isPost = request.method == "POST";
    if (!isGet && !isPost) {
        return ErrorPage(501, "The method " + Excerpt(request.method) + " is not supported here.");
    }
    const auto path = PercentDecode(request.path, false);
    if (!path) {
        return ErrorPage(400, "The address holds a bad percent escape.");
    }
    HttpResponse response;
    if (*path == kSubmitPath) {
        response = isPost ? PostInventory(request) : MethodNotAllowed("POST");
    } else if (!isGet) {
        response = *path == "/" || *path == "/crewdock/" || *path == "/crewdock" ||
                           *path == kSessionPath || path->starts_with(kFilesPrefix)
                       ? MethodNotAllowed("GET, HEAD")
                       : ErrorPage(404, "There is nothing at this address.");
    } else if (*path == "/") {
        response = HomePage();
    } else if (*path == "/crewdock/" || *path == "/crewdock") {
        response = DeveloperPage();
    } else if (*path == kSessionPath) {
        response = SessionPage(request);
    } else if (path->starts_with(kFilesPrefix)) {
        response = CatalogFile(std::string_view(*path).substr(kFilesPrefix.size()));
    } else {
        response = ErrorPage(404, "There is nothing at this address.");
    }
    response.headOnly = request.method == "HEAD";
    return response;
}

HttpResponse CrewdockApp::PostInventory(const HttpRequest& request) {
    if (!request.Header("content-length")) {
        return ErrorPage(411, "The package list must come with a Content-Length.");
    }
    if (const std::string* type = request.Header("content-type");
        type && MediaType(*type) != "application/x-www-form-urlencoded") {
        return ErrorPage(415, "The package list must be application/x-www-form-urlencoded.");
    }
    FormError formError = FormError::None;
    auto fields = DecodeForm(request.body, &formError);
    if (!fields) {
        return ErrorPage(400, formError == FormError::TooManyFields
                                  ? "The form body holds more than " +
                                        std::to_string(kMaxFormFields) + " fields."
                                  : std::string("The form body holds a bad percent escape."));
    }
    const std::string* sessionText = FindField(*fields, "session");
    const auto number = sessionText ? ParseSessionNumber(*sessionText) : std::nullopt;
    if (!number) {
        return ErrorPage(400, "The form body needs a session number (1 to 9 digits).");
    }
    Session session;
    if (const std::string* game = FindField(*fields, "game")) {
        session.game = *game;
    }
    if (const std::string* version = FindField(*fields, "version")) {
        session.version = *version;
    }
    if (const auto wrong = TakePackages(*fields, session.packages)) {
        return ErrorPage(400, *wrong);
    }
    const std::size_t count = session.packages.size();
    sessions_.Put(*number, std::move(session));
    std::string body = PageStart("Package list received");
    body += "<p>Session " + std::to_string(*number) + ": " + std::to_string(count) +
            (count == 1 ? " package" : " packages") + " received.</p>\n";
    body += kPageEnd;
    return Page(200, std::move(body));
}

HttpResponse CrewdockApp::SessionPage(const HttpRequest& request) {
    const auto query = DecodeForm(request.query);
    if (!query) {
        return ErrorPage(400, "The address holds a bad percent escape.");
    }
    const std::string* sessionText = FindField(*query, "session");
    const auto number = sessionText ? ParseSessionNumber(*sessionText) : std::nullopt;
    if (!number) {
        return ErrorPage(400,
                         "The address needs a session number: "
                         "/crewdock/sync.php?session=N&version=V");
    }
    const std::string sessionName = std::to_string(*number);
    if (sessions_.Find(*number) == nullptr) {
        std::string body = PageStart("Unknown session " + sessionName);
        body += "<p>No package list has been received for session " + sessionName +
                ". Run the synchroniser again to post your list.</p>\n";
        body += kPageEnd;
        return Page(404, std::move(body));
    }
    auto listing = catalog_ ? CatalogListing() : nullptr;
    const CatalogState state = !catalog_ ? CatalogState::None
                               : listing ? CatalogState::Listed
                                         : CatalogState::Unreadable;
    HttpResponse response;
    response.body =
        std::make_unique<SessionPageBody>(sessions_, *number, std::move(listing), state);
    return response;
}

std::shared_ptr<const std::vector<CatalogEntry>> CrewdockApp::CatalogListing() {
    const auto now = std::chrono::steady_clock::now();
    if (listing_ && now - listedAt_ < std::chrono::seconds(1)) {
        return listing_;
    }
    auto fresh = ReadCatalog(*catalog_);
    if (!fresh) {
        listing_.reset();
        return nullptr;
    }
    if (!listing_ || *listing_ != *fresh) {
        listing_ = std::make_shared<const std::vector<CatalogEntry>>(std::move(*fresh));
    }
    listedAt_ = now;
    return listing_;
}

HttpResponse CrewdockApp::CatalogFile(std::string_view name) {
    if (!catalog_) {
        return ErrorPage(404, "This server has no catalog.");
    }
    if (!IsSafeFileName(name)) {
        return ErrorPage(404, "There is no such package.");
    }
    // Only regular files are served. Anything else is not even opened (opening a FIFO waits
    // for a writer, on the only thread), and the open itself never waits: the name may change
    // into something else between the two looks.
    const std::filesystem::path path = *catalog_ / std::string(name);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return ErrorPage(404, "There is no such package.");
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return ErrorPage(404, "There is no such package.");
    }
    HttpResponse response;
    response.contentType = "application/octet-stream";
    response.extraHeaders.emplace_back("Content-Disposition",
                                       "attachment; filename*=UTF-8''" + PercentEncode(name));
    response.body = std::make_unique<FileBody>(std::move(fd), static_cast<uint64_t>(info.st_size));
    return response;
}

HttpResponse CrewdockApp::HomePage() const {
    std::string body = PageStart("Torvane");
    body +=
        "<p>Local stand-in for the Torvane community server.</p>\n"
        "<p><a href=\"/crewdock/\">Crewdock: package synchronisation</a></p>\n";
    body += kPageEnd;
    return Page(200, std::move(body));
}

HttpResponse CrewdockApp::DeveloperPage() {
    std::string body = PageStart("Crewdock");
    body += "<p>Packwarden posts your package list to " + std::string(kSubmitPath) +
            "; your session page at " + std::string(kSessionPath) +
            "?session=N&amp;version=2 lists what you have and what to download.</p>\n";
    body += "<p>Sessions held: " + std::to_string(sessions_.size()) + ".</p>\n";
    if (catalog_) {
        const auto catalog = CatalogListing();
        body += catalog
                    ? "<p>Packages in the catalog: " + std::to_string(catalog->size()) + ".</p>\n"
                    : std::string("<p>The catalog folder cannot be read just now.</p>\n");
    } else {
        body += "<p>No catalog folder is configured.</p>\n";
    }
    body += kPageEnd;
    return Page(200, std::move(body));
}

}  // namespace crewdock
