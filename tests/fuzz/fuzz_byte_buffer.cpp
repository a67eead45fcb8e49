// CIPByteBuffer under random sequences of appends, removals, copies and
// moves decoded from the input, held after every step against
// std::deque<unsigned char>. Two buffers take part, so that appendBuffer,
// copies and moves run between distinct objects and onto themselves.

#include "FrameModel.h"

#include <kavra/base/CIPByteBuffer.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <utility>
#include <vector>

namespace {

using kavra::fuzz::Fail;
using Model = std::deque<unsigned char>;

// Keeps an iteration cheap; the buffer's behaviour does not change with size
// beyond a few growth steps.
constexpr std::size_t kMaxModel = 64 * 1024;
constexpr int kMaxCount = 600;

void Check(const CIPByteBuffer& buffer, const Model& model, const char* step) {
    if (buffer.getLength() != model.size()) {
        std::fprintf(stderr, "after %s: length %u, model %zu\n", step, buffer.getLength(),
                     model.size());
        Fail("length differs from the model");
    }
    if (model.empty()) {
        return;
    }
    const unsigned char* bytes = buffer.getBuffer();
    if (bytes == nullptr) {
        std::fprintf(stderr, "after %s\n", step);
        Fail("null buffer with content");
    }
    if (!std::equal(model.begin(), model.end(), bytes)) {
        std::fprintf(stderr, "after %s\n", step);
        Fail("content differs from the model");
    }
}

void PushBigEndian(Model& model, std::uint32_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
        model.push_back(static_cast<unsigned char>(value >> shift));
    }
}

std::uint32_t PopBigEndian(Model& model, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | model.front();
        model.pop_front();
    }
    return value;
}

// A count as a caller might pass it: mostly small, sometimes negative.
int TakeCount(FuzzedDataProvider& input) {
    return input.ConsumeIntegralInRange<int>(-3, kMaxCount);
}

std::size_t Clamp(int n) {
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

enum class Op : std::uint8_t {
    AppendBytes,
    AppendNullBytes,
    AppendBytes0,
    AppendString,
    AppendStringUnset,
    AppendInt,
    AppendShort,
    AppendOther,
    AppendSelf,
    AppendNull,
    RemoveBytes0,
    RemoveString,
    RemoveInt,
    RemoveShort,
    Empty,
    Reserve,
    ReserveThenFill,
    CopyConstruct,
    CopyAssign,
    CopyAssignSelf,
    MoveConstruct,
    MoveAssign,
    Swap,
    kMaxValue = Swap,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    CIPByteBuffer buffers[2];
    Model models[2];

    while (input.remaining_bytes() > 0) {
        const Op op = input.ConsumeEnum<Op>();
        const std::size_t which = input.ConsumeBool() ? 1 : 0;
        CIPByteBuffer& buffer = buffers[which];
        Model& model = models[which];
        CIPByteBuffer& other = buffers[1 - which];
        Model& otherModel = models[1 - which];
        const bool roomy = model.size() + otherModel.size() < kMaxModel;
        const char* step = "?";

        switch (op) {
        case Op::AppendBytes:
        case Op::AppendString: {
            const int n = TakeCount(input);
            std::vector<unsigned char> src = input.ConsumeBytes<unsigned char>(Clamp(n));
            src.resize(Clamp(n), 0x5A);
            if (!roomy) {
                break;
            }
            if (op == Op::AppendBytes) {
                buffer.appendBytes(src.data(), n);
                step = "appendBytes";
            } else {
                buffer.appendString(src.data(), n);
                step = "appendString";
            }
            model.insert(model.end(), src.begin(), src.end());
            break;
        }
        case Op::AppendNullBytes:
        case Op::AppendBytes0: {
            const int n = TakeCount(input);
            if (!roomy) {
                break;
            }
            if (op == Op::AppendNullBytes) {
                buffer.appendBytes(nullptr, n);
                step = "appendBytes(null)";
            } else {
                buffer.appendBytes0(n);
                step = "appendBytes0";
            }
            model.insert(model.end(), Clamp(n), 0);
            break;
        }
        case Op::AppendStringUnset: {
            // The new bytes are unspecified until written through getBuffer.
            const int n = TakeCount(input);
            const auto fill = input.ConsumeIntegral<unsigned char>();
            if (!roomy) {
                break;
            }
            const std::size_t before = buffer.getLength();
            buffer.appendString(nullptr, n);
            step = "appendString(null)";
            if (buffer.getLength() != before + Clamp(n)) {
                Fail("appendString(null) grew by another count");
            }
            if (n > 0) {
                std::fill_n(buffer.getBuffer() + before, Clamp(n), fill);
            }
            model.insert(model.end(), Clamp(n), fill);
            break;
        }
        case Op::AppendInt: {
            const auto value = input.ConsumeIntegral<int>();
            buffer.appendInt(value);
            step = "appendInt";
            PushBigEndian(model, static_cast<std::uint32_t>(value), 4);
            break;
        }
        case Op::AppendShort: {
            const auto value = input.ConsumeIntegral<short>();
            buffer.appendShort(value);
            step = "appendShort";
            PushBigEndian(model, static_cast<std::uint16_t>(value), 2);
            break;
        }
        case Op::AppendOther:
            if (!roomy) {
                break;
            }
            buffer.appendBuffer(&other);
            step = "appendBuffer(other)";
            model.insert(model.end(), otherModel.begin(), otherModel.end());
            break;
        case Op::AppendSelf: {
            if (!roomy) {
                break;
            }
            buffer.appendBuffer(&buffer);
            step = "appendBuffer(self)";
            const Model copy(model);
            model.insert(model.end(), copy.begin(), copy.end());
            break;
        }
        case Op::AppendNull:
            buffer.appendBuffer(nullptr);
            step = "appendBuffer(null)";
            break;
        case Op::RemoveBytes0: {
            const int n = TakeCount(input);
            const std::size_t expected = std::min(Clamp(n), model.size());
            step = "removeBytes0";
            if (buffer.removeBytes0(n) != static_cast<int>(expected)) {
                Fail("removeBytes0 returned another count");
            }
            model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(expected));
            break;
        }
        case Op::RemoveString: {
            const int n = TakeCount(input);
            const std::size_t expected = std::min(Clamp(n), model.size());
            // Prefilled, so that a missing zero fill shows.
            std::vector<unsigned char> dst(Clamp(n) + 1, 0xA5);
            step = "removeString";
            if (buffer.removeString(dst.data(), n) != static_cast<int>(expected)) {
                Fail("removeString returned another count");
            }
            if (!std::equal(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(expected),
                            dst.begin())) {
                Fail("removeString copied other bytes");
            }
            if (std::any_of(dst.begin() + static_cast<std::ptrdiff_t>(expected), dst.end() - 1,
                            [](unsigned char b) { return b != 0; })) {
                Fail("removeString did not zero the rest of the destination");
            }
            if (dst.back() != 0xA5) {
                Fail("removeString wrote past the count it was given");
            }
            model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(expected));
            break;
        }
        case Op::RemoveInt: {
            step = "removeInt";
            const int value = buffer.removeInt();
            if (model.size() < 4) {
                model.clear();
                if (value != 0) {
                    Fail("removeInt on fewer than 4 bytes returned nonzero");
                }
            } else if (value != static_cast<int>(PopBigEndian(model, 4))) {
                Fail("removeInt read another value");
            }
            break;
        }
        case Op::RemoveShort: {
            step = "removeShort";
            const short value = buffer.removeShort();
            if (model.size() < 2) {
                model.clear();
                if (value != 0) {
                    Fail("removeShort on fewer than 2 bytes returned nonzero");
                }
            } else if (value != static_cast<short>(PopBigEndian(model, 2))) {
                Fail("removeShort read another value");
            }
            break;
        }
        case Op::Empty:
            buffer.empty();
            step = "empty";
            model.clear();
            break;
        case Op::Reserve:
            buffer.reserve(input.ConsumeIntegralInRange<int>(-3, 4 * kMaxCount));
            step = "reserve";
            break;
        case Op::ReserveThenFill: {
            // Room reserved for n content bytes: appending up to n must not
            // move the content.
            const int n = input.ConsumeIntegralInRange<int>(1, 4 * kMaxCount);
            if (!roomy) {
                break;
            }
            buffer.reserve(n);
            step = "reserve then fill";
            const std::size_t room = Clamp(n) > model.size() ? Clamp(n) - model.size() : 0;
            if (room == 0) {
                break;
            }
            buffer.appendBytes0(1);
            const unsigned char* front = buffer.getBuffer();
            buffer.appendBytes0(static_cast<int>(room - 1));
            if (buffer.getBuffer() != front) {
                Fail("append within reserved room moved the content");
            }
            model.insert(model.end(), room, 0);
            break;
        }
        case Op::CopyConstruct: {
            CIPByteBuffer copy(other);
            step = "copy construction";
            Check(copy, otherModel, step);
            buffer = std::move(copy);
            model = otherModel;
            break;
        }
        case Op::CopyAssign:
            buffer = other;
            step = "copy assignment";
            model = otherModel;
            break;
        case Op::CopyAssignSelf: {
            CIPByteBuffer& alias = buffer;
            buffer = alias;
            step = "self copy assignment";
            break;
        }
        case Op::MoveConstruct: {
            CIPByteBuffer moved(std::move(other));
            step = "move construction";
            Check(moved, otherModel, step);
            // A moved-from buffer is valid but its content unspecified:
            // start it over.
            other.empty();
            buffer = std::move(moved);
            model = otherModel;
            otherModel.clear();
            break;
        }
        case Op::MoveAssign:
            buffer = std::move(other);
            step = "move assignment";
            model = otherModel;
            other.empty();
            otherModel.clear();
            break;
        case Op::Swap:
            std::swap(buffer, other);
            step = "swap";
            std::swap(model, otherModel);
            break;
        }
        Check(buffers[0], models[0], step);
        Check(buffers[1], models[1], step);
    }
    return 0;
}
