#include "transactions/registeraccess.h"

#include <utility>

bool IsRegisterWidthValid(int width)
{
    return width >= REGISTER_WIDTH_MIN && width <= REGISTER_WIDTH_MAX;
}

uint32_t MaxRegister(int width)
{
    if (!IsRegisterWidthValid(width))
        return 0;
    return width == 4 ? UINT32_MAX : (uint32_t{1} << (8 * width)) - 1;
}

bool RegisterFits(uint32_t reg, int width)
{
    return IsRegisterWidthValid(width) && reg <= MaxRegister(width);
}

std::vector<uint8_t> RegisterPointerBytes(uint32_t reg, int width)
{
    std::vector<uint8_t> bytes;
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(reg >> shift));
    return bytes;
}

std::vector<uint8_t> SRegisterRead::data() const
{
    return ok() ? read->data : std::vector<uint8_t>();
}

const SI2cTransaction* SRegisterRead::failure() const
{
    if (pointer && !pointer->ok)
        return &*pointer;
    if (read && !read->ok)
        return &*read;
    return nullptr;
}

SRegisterRead RunRegisterRead(COrvI2c& adapter, uint8_t address, uint32_t reg, int width,
                              size_t count)
{
    SRegisterRead result;
    result.pointer =
        RunWrite(adapter, EI2cStartStop::Start, address, RegisterPointerBytes(reg, width));
    if (result.pointer->ok)
        result.read = RunRead(adapter, address, count);
    return result;
}

SRegisterRead RunCurrentRead(COrvI2c& adapter, uint8_t address, size_t count)
{
    SRegisterRead result;
    result.read = RunRead(adapter, address, count);
    return result;
}

SI2cTransaction RunRegisterWrite(COrvI2c& adapter, uint8_t address, uint32_t reg, int width,
                                 const std::vector<uint8_t>& values)
{
    std::vector<uint8_t> data = RegisterPointerBytes(reg, width);
    data.insert(data.end(), values.begin(), values.end());
    return RunWrite(adapter, EI2cStartStop::Auto, address, data);
}

uint8_t MaskedValue(uint8_t value, uint8_t mask, uint8_t old)
{
    return static_cast<uint8_t>((value & mask) | (old & ~mask));
}

bool SRegisterSet::ok() const
{
    return failure() == nullptr && write && !mismatch;
}

const SI2cTransaction* SRegisterSet::failure() const
{
    if (old && !old->ok())
        return old->failure();
    if (write && !write->ok)
        return &*write;
    if (readback && !readback->ok())
        return readback->failure();
    return nullptr;
}

ERegisterSetStep SRegisterSet::failedStep() const
{
    if (old && !old->ok())
        return ERegisterSetStep::OldValue;
    if (!write || !write->ok)
        return ERegisterSetStep::Write;
    if ((readback && !readback->ok()) || mismatch)
        return ERegisterSetStep::Readback;
    return ERegisterSetStep::None;
}

SRegisterSet RunRegisterSet(COrvI2c& adapter, uint8_t address, uint32_t reg, int width,
                            const std::vector<uint8_t>& values, std::optional<uint8_t> mask,
                            bool readback)
{
    SRegisterSet result;
    result.written = values;
    if (mask && values.size() == 1) {
        result.old = RunRegisterRead(adapter, address, reg, width, 1);
        if (!result.old->ok())
            return result;
        result.written[0] = MaskedValue(values[0], *mask, result.old->data()[0]);
    }
    result.write = RunRegisterWrite(adapter, address, reg, width, result.written);
    if (!result.write->ok || !readback)
        return result;
    result.readback = RunRegisterRead(adapter, address, reg, width, result.written.size());
    const std::vector<uint8_t> read = result.readback->data();
    for (size_t i = 0; i < read.size() && i < result.written.size(); ++i) {
        if (read[i] != result.written[i]) {
            result.mismatch = i;
            break;
        }
    }
    return result;
}
