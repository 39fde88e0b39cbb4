#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "CObject.h"
#include "base/Types.h"

// Bytes [first, end) of the identity image.
struct ByteRange {
    std::int32_t first;
    std::int32_t end;
};

// The interface every device family implements. The shell reaches families
// through these sixteen operations only, in this order.
class CCommBase : public CObject {
public:
    static const CRuntimeClass classCCommBase;
    const CRuntimeClass* GetRuntimeClass() const override { return &classCCommBase; }

    virtual BOOL ChooseTarget() { return TRUE; }
    virtual BOOL SelectCardWithTarget() { return TRUE; }
    virtual BOOL SelectCard() { return TRUE; }
    virtual BOOL Connect() = 0;
    virtual std::int32_t GetModuleCount() = 0;
    virtual void SetModuleIndex(std::int32_t index) = 0;
    virtual BOOL OpenModule() = 0;
    virtual void CloseModule() = 0;
    virtual BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) = 0;
    virtual BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) = 0;
    virtual void Disconnect() {}
    virtual std::string GetModuleText() = 0;
    virtual std::int32_t GetReadTime() { return 400; }
    virtual std::int32_t GetWriteTime() { return 1000; }
    virtual void SetAddress(std::string /*address*/) {}
    virtual std::string GetAddress() { return {}; }

    // The bytes of a 256-byte image that WriteEeprom actually writes, in
    // ascending order; the instrument keeps every other byte as it is. Most
    // families write the whole image.
    virtual std::vector<ByteRange> WritableRanges() const { return {{0, 256}}; }

    // Why the last Connect could not look for instruments at all (as opposed
    // to finding none), in words for the user; empty when it could look.
    virtual std::string SearchProblem() const { return {}; }
};
