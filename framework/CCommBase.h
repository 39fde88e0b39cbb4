#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CObject.h"
#include "base/Types.h"

// Bytes [first, end) of the identity image.
struct ByteRange {
    std::int32_t first;
    std::int32_t end;
};

// The card a chassis family's card dialog picked in SelectCardWithTarget.
struct CardChoice {
    std::int32_t row = 0;      // the dialog row, from 0 (a command line's --card is row + 1)
    std::string place;         // where the card sits, e.g. "slot 3" or "chassis 1, slot 2, port 4"
    std::optional<int> mode;   // the operation mode chosen (0 initialize, 1 modify), where the dialog has one
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

    // After SelectCardWithTarget returned TRUE: the card that was picked.
    // Families without a card dialog have none.
    virtual std::optional<CardChoice> PickedCard() const { return std::nullopt; }

    // Command-line options that a later command needs to reach this module
    // again, beyond family and module (e.g. "--yaltro-password" to ask for a
    // console login text given in this session; never the text itself).
    virtual std::vector<std::string> ReachOptions() const { return {}; }
};
