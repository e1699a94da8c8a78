// SPDX-License-Identifier: MIT
// GetData and PeekData against a reference model. Bytes really arrive over loopback; then
// random takes and peeks, with random type codes and lengths given as numbers, text or nothing,
// must return what the model says, consume exactly what it says, and keep BytesReceived equal
// to what is waiting. Takes go into a fresh value or into one value kept across inputs (whose
// storage then changes places with the receive buffer's), which must hold what it was given
// until the next take into it, whatever arrives meanwhile.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "packwarden/CSocket.h"
#include "FuzzSupport.h"

namespace {

using namespace packwarden;
using fuzz::Check;

class Owner : public CSocketEvents {
  public:
    explicit Owner(const CSocket& s) : socket_(s) {}
    void OnDataArrival(int32_t total) override {
        Check(static_cast<std::size_t>(total) == socket_.ReceiveBufferSize(), "bytesTotal");
    }
    void OnError(int16_t, std::string&, int32_t, const std::string&, const std::string&, int32_t,
                 bool&) override {
        Check(false, "unexpected OnError");
    }
    void OnClose() override { Check(false, "unexpected OnClose"); }

  private:
    const CSocket& socket_;
};

struct Rig {
    fuzz::Fd peer;
    std::shared_ptr<CSocket> socket;
    std::unique_ptr<Owner> owner;
    Variant kept;
    Variant keptWas;  // a copy made when it was last given a value
};

Rig& TheRig() {
    static Rig* rig = [] {
        auto* r = new Rig;  // lives for the process, as the fuzzer's loop does
        uint16_t port = 0;
        fuzz::Fd listener = fuzz::RawListener(port);
        r->peer = fuzz::RawClient(port);
        const int accepted = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        Check(accepted >= 0, "accept");
        r->socket = CSocket::Create();
        r->socket->Accept(accepted);
        r->owner = std::make_unique<Owner>(*r->socket);
        r->socket->SetOwner(r->owner.get());
        return r;
    }();
    return *rig;
}

// An argument as the owner might pass it, with what it stands for.
struct Argument {
    Variant value;
    enum Kind { Absent, Number, NotANumber } kind = Absent;
    double number = 0;
};

Argument MakeArgument(FuzzedDataProvider& in, bool typeCode) {
    static const int32_t codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 11, 17, 8209, 9, 12, -1, 8194};
    const int32_t pick = typeCode ? codes[in.ConsumeIntegralInRange<size_t>(0, 15)]
                                  : in.ConsumeIntegralInRange<int32_t>(-3, 70);
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
        case 0:
            return {};
        case 1:
            return {Variant::Null()};
        case 2:
            return {Variant(pick), Argument::Number, double(pick)};
        case 3: {
            // Quarters, so halves and near-halves get rounded.
            const double d = in.ConsumeIntegralInRange<int32_t>(-40, 300) / 4.0;
            return {Variant(d), Argument::Number, d};
        }
        case 4:
            return {Variant(std::to_string(pick)), Argument::Number, double(pick)};
        case 5:
            return {Variant(in.ConsumeIntegral<int32_t>()), Argument::Number, 0};  // filled below
        default:
            return {Variant("zz?"), Argument::NotANumber, 0};
    }
}

// Round to nearest, a half to the even neighbour.
double HalfEven(double x) {
    const double f = std::floor(x);
    const double frac = x - f;
    if (frac > 0.5) {
        return f + 1;
    }
    if (frac < 0.5) {
        return f;
    }
    return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

template <typename T>
T Leading(const std::string& bytes) {
    unsigned char raw[sizeof(T)] = {};
    std::memcpy(raw, bytes.data(), std::min(sizeof(T), bytes.size()));
    T value;
    std::memcpy(&value, raw, sizeof(T));
    return value;
}

// The value a take of `bytes` with type code `code` yields; nullopt: varData keeps its value.
std::optional<Variant> Expected(int32_t code, const std::string& bytes) {
    switch (code) {
        case vbInteger:
            return Variant(Leading<int16_t>(bytes));
        case vbLong:
            return Variant(Leading<int32_t>(bytes));
        case vbSingle:
            return Variant(Leading<float>(bytes));
        case vbDouble:
            return Variant(Leading<double>(bytes));
        case vbCurrency:
            return Variant::Currency(Leading<int64_t>(bytes));
        case vbDate:
            return Variant::Date(Leading<double>(bytes));
        case vbString:
            return Variant(bytes);
        case vbBoolean:
            return Variant(Leading<int16_t>(bytes) != 0);
        case vbByte:
            return Variant(Leading<uint8_t>(bytes));
        case vbByteArray:
            return Variant(Variant::Bytes(bytes.begin(), bytes.end()));
        default:
            return std::nullopt;
    }
}

bool Same(const Variant& a, const Variant& b) {
    if (a == b) {
        return true;
    }
    if (a.Type() != b.Type()) {
        return false;
    }
    const int32_t t = a.Type();
    if (t == vbSingle || t == vbDouble || t == vbDate) {
        return std::isnan(a.AsDouble()) && std::isnan(b.AsDouble());
    }
    return false;
}

void Receive(Rig& rig, std::string& model, const std::string& bytes) {
    Check(::send(rig.peer.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
              static_cast<ssize_t>(bytes.size()),
          "peer send");
    model += bytes;
    fuzz::MustReach([&] { return rig.socket->ReceiveBufferSize() == model.size(); },
                    "data did not arrive");
}

void Take(Rig& rig, std::string& model, FuzzedDataProvider& in, bool peek) {
    Argument type = MakeArgument(in, true);
    Argument length = MakeArgument(in, false);
    if (type.kind == Argument::Number && type.number == 0 && type.value.Type() == vbLong) {
        type.number = double(type.value.AsInteger());
    }
    if (length.kind == Argument::Number && length.value.Type() == vbLong) {
        length.number = double(length.value.AsInteger());
    }
    const bool reuse = in.ConsumeBool();
    const Variant before = reuse ? rig.kept : Variant("previous value");
    Variant fresh = before;
    Variant& data = reuse ? rig.kept : fresh;

    bool raised = false;
    try {
        if (peek) {
            rig.socket->PeekData(data, type.value, length.value);
        } else {
            rig.socket->GetData(data, type.value, length.value);
        }
    } catch (const MSocketSupport::SocketError& e) {
        raised = true;
        Check(e.Number == 13, "error number");
        Check(e.Source == (peek ? "CSocket.PeekData" : "CSocket.GetData"), "error source");
    }

    if (model.empty()) {
        Check(!raised && Same(data, before), "take from an empty buffer");
    } else if (length.kind == Argument::NotANumber || type.kind == Argument::NotANumber) {
        Check(raised && Same(data, before), "type mismatch not raised");
    } else {
        Check(!raised, "unexpected error");
        std::size_t take = model.size();
        if (length.kind == Argument::Number && length.number > 0 &&
            length.number <= double(model.size()) && HalfEven(length.number) >= 1) {
            take = static_cast<std::size_t>(HalfEven(length.number));
        }
        const std::string taken = model.substr(0, take);
        std::optional<Variant> want;
        if (type.kind == Argument::Absent) {
            want = Variant(taken);
        } else if (type.number == std::floor(type.number)) {
            want = Expected(static_cast<int32_t>(type.number), taken);
        }
        Check(Same(data, want ? *want : before), "value differs from the model");
        if (!peek) {
            model.erase(0, take);
        }
    }
    if (reuse) {
        rig.keptWas = rig.kept;
    }
    Check(rig.socket->ReceiveBufferSize() == model.size(), "buffer size");
    Check(rig.socket->BytesReceived() == static_cast<int32_t>(model.size()), "BytesReceived");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rig& rig = TheRig();
    FuzzedDataProvider in(data, size);
    std::string model;
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        Check(Same(rig.kept, rig.keptWas), "a kept value changed behind its owner's back");
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: {
                const std::string bytes = in.ConsumeRandomLengthString(512);
                if (!bytes.empty() && model.size() < 8192) {
                    Receive(rig, model, bytes);
                }
                break;
            }
            case 3: {
                // Now and then a burst, which the socket then receives straight into its buffer.
                const auto seed = in.ConsumeIntegral<uint8_t>();
                if (model.size() < 8192 && seed % 8 == 0) {
                    std::string burst(100000 + seed * 97, '\0');
                    for (std::size_t i = 0; i < burst.size(); ++i) {
                        burst[i] = static_cast<char>(i * 131 + seed);
                    }
                    Receive(rig, model, burst);
                }
                break;
            }
            case 1:
                Take(rig, model, in, false);
                break;
            default:
                Take(rig, model, in, true);
                break;
        }
    }
    // Leave nothing for the next input.
    Variant rest;
    rig.socket->GetData(rest);
    Check(rig.socket->ReceiveBufferSize() == 0, "drained");
    Check(rig.socket->State() == StateConnected, "connection stands");
    return 0;
}
