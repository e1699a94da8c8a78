// SPDX-License-Identifier: MIT
// The owner the tests give a CSocket: it records every event with its arguments and the State
// seen inside the handler, then runs the test's reaction, if any.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packwarden/CSocket.h"

namespace packwarden::testsupport {

// Watches one object; holds it too when asked (Holds), so that a reaction may drop the last
// reference through Release. After a reaction the object is not touched again, and an event
// that reaches the owner after Release is counted as a fault, never recorded.
class RecordingOwner : public CSocketEvents {
  public:
    enum Holding { Watches, Holds };

    explicit RecordingOwner(const std::shared_ptr<CSocket>& socket, Holding holding = Watches)
        : watched_(socket), held_(holding == Holds ? socket : nullptr) {
        socket->SetOwner(this);
    }
    ~RecordingOwner() override {
        if (auto socket = watched_.lock()) {
            socket->SetOwner(nullptr);
        }
    }
    RecordingOwner(const RecordingOwner&) = delete;
    RecordingOwner& operator=(const RecordingOwner&) = delete;

    CSocket& socket() { return *held_; }
    void Release() {
        released_ = true;
        held_.reset();
    }
    bool released() const { return released_; }

    // "Name(arguments)@State", in order.
    std::vector<std::string> events;
    std::vector<int> errors;        // the numbers OnError gave
    std::vector<int32_t> requests;  // the requestIDs OnConnectionRequest gave
    std::string lastErrorSource;
    std::string lastErrorDescription;
    int afterRelease = 0;

    std::function<void()> onConnect, onClose, onSendComplete;
    std::function<void(int32_t)> onDataArrival, onConnectionRequest;
    std::function<void(int16_t)> onError;
    std::function<void(int32_t, int32_t)> onSendProgress;
    // Runs after the event's own reaction, with the event's name ("Close", "Error"...).
    std::function<void(const std::string&)> onEvent;

    // True when an event whose record starts with `prefix` arrived ("Error", "Error(10061)").
    bool Has(const std::string& prefix) const {
        for (const auto& e : events) {
            if (e.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }
    // The name of the last event ("Close"), or "" when none arrived.
    std::string Last() const {
        return events.empty() ? std::string() : events.back().substr(0, NameLength(events.back()));
    }

    void OnConnect() override { Event("Connect", "", onConnect); }
    void OnClose() override { Event("Close", "", onClose); }
    void OnConnectionRequest(int32_t requestID) override {
        requests.push_back(requestID);
        Event("ConnectionRequest", "", [&] { Call(onConnectionRequest, requestID); });
    }
    void OnDataArrival(int32_t bytesTotal) override {
        Event("DataArrival", Args(bytesTotal), [&] { Call(onDataArrival, bytesTotal); });
    }
    void OnError(int16_t Number, std::string& Description, int32_t Scode, const std::string& Source,
                 const std::string& HelpFile, int32_t HelpContext, bool& CancelDisplay) override {
        EXPECT_EQ(Scode, 0);
        EXPECT_TRUE(HelpFile.empty());
        EXPECT_EQ(HelpContext, 0);
        EXPECT_FALSE(CancelDisplay);
        errors.push_back(Number);
        lastErrorSource = Source;
        lastErrorDescription = Description;
        // What the handler writes back must not reach anything after it.
        Description = "overwritten by the handler";
        CancelDisplay = true;
        Event("Error", Args(Number), [&] { Call(onError, Number); });
    }
    void OnSendComplete() override { Event("SendComplete", "", onSendComplete); }
    void OnSendProgress(int32_t sent, int32_t remaining) override {
        Event("SendProgress", Args(sent, remaining),
              [&] { Call(onSendProgress, sent, remaining); });
    }

  private:
    template <typename... T>
    static std::string Args(T... values) {
        std::string out;
        ((out += (out.empty() ? "(" : ",") + std::to_string(values)), ...);
        return out + ")";
    }
    template <typename F, typename... T>
    static void Call(const F& f, T... values) {
        if (f) {
            f(values...);
        }
    }
    static std::size_t NameLength(const std::string& e) { return e.find_first_of("(@"); }

    void Event(const std::string& name, const std::string& args,
               const std::function<void()>& react) {
        if (released_ || watched_.expired()) {
            ++afterRelease;
            return;
        }
        // No reference of ours outlives this line: a reaction may drop the object.
        events.push_back(name + args + "@" + std::to_string(watched_.lock()->State()));
        if (react) {
            react();
        }
        if (onEvent) {
            onEvent(name);
        }
    }

    std::weak_ptr<CSocket> watched_;
    std::shared_ptr<CSocket> held_;
    bool released_ = false;
};

}  // namespace packwarden::testsupport
