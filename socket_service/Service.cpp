// Start-up and shut-down of the service, and its process-wide state.
#include <unistd.h>

#include <array>
#include <mutex>
#include <unordered_map>

#include "ServiceState.h"
#include "packwarden/MSocketSupport.h"

namespace MSocketSupport {

namespace detail {

ServiceState& State() {
    static ServiceState state;
    return state;
}

uint32_t RegisterMessageName(const std::string& name) {
    // Numbers in the range the window system gives registered message names.
    static std::mutex mutex;
    static std::unordered_map<std::string, uint32_t> numbers;
    static uint32_t next = 0xC000;
    std::lock_guard lock(mutex);
    auto [it, added] = numbers.try_emplace(name, next);
    if (added) {
        ++next;
    }
    return it->second;
}

std::string ProgramName() {
    std::array<char, 4096> path{};
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    std::string name = n > 0 ? std::string(path.data(), static_cast<std::size_t>(n)) : "program";
    if (auto slash = name.rfind('/'); slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name;
}

}  // namespace detail

int32_t InitWinsockService() {
    auto& st = detail::State();
    if (st.started) {
        return st.maxDatagramSize;
    }
    auto& hooks = Platform::TestHooks();
    // Linux needs no library start-up; the seam stands in for one that can fail.
    const int32_t code = hooks.startup ? hooks.startup() : 0;
    if (code != 0) {
        throw SocketError(Platform::LastPlatformError(), "MSocketSupport.InitWinsockService",
                          detail::StartupFailureText(code));
    }
    st.started = true;
    st.releaseAfterCloses = false;
    st.maxDatagramSize = DefaultMaxDatagramSize;
    const std::string program = detail::ProgramName();
    st.resolveMessage = detail::RegisterMessageName(program + ".ResolveMessage");
    st.winsockMessage = detail::RegisterMessageName(program + ".WinsockMessage");
    return st.maxDatagramSize;
}

void CleanupWinsockService() {
    auto& st = detail::State();
    if (!st.sockets.Present() && st.started) {
        if (!st.closing.empty()) {
            st.releaseAfterCloses = true;  // they still need the service
            return;
        }
        st.started = false;
    }
}

bool WinsockStarted() {
    return detail::State().started;
}
int32_t MaxDatagramSize() {
    return detail::State().maxDatagramSize;
}
uint32_t WinsockMessage() {
    return detail::State().winsockMessage;
}
uint32_t ResolveMessage() {
    return detail::State().resolveMessage;
}

}  // namespace MSocketSupport
