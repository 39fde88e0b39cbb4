#pragma once
#include "framework/Wait.h"

// The pauses of an exchange whose every read waits for the reply itself, up
// to its own time-out (a pipe, HID or MPUSB report read, a USBXpress packet
// read): a pause after the request, then a pause after every attempt that did
// not bring the awaited reply.
//
// Original timing sits out each pause in full. Paced timing skips the pause
// after the request, since the first read already waits for the reply and
// takes it as soon as it arrives; the time that pause would have taken is
// added to the pause after the first rejected attempt (an empty read, or a
// reply that is not the awaited one). So an exchange whose reply comes at
// once ends at once, and one that needs more than one attempt (a silent
// device, stale or mismatching replies) lasts exactly as long as it always
// did, with the same number of attempts.
class ReplyPacing {
public:
    // A write passes stoppable = false: its pauses are never cut by Stop.
    ReplyPacing(int pauseMs, bool stoppable) : m_pauseMs(pauseMs), m_stoppable(stoppable) {}

    void AfterRequest() {
        if (OriginalTiming())
            FixedWait(m_pauseMs, m_stoppable);
        else
            m_owedMs = m_pauseMs;
    }

    void AfterRejectedAttempt() {
        FixedWait(m_pauseMs + m_owedMs, m_stoppable);
        m_owedMs = 0;
    }

private:
    int m_pauseMs;
    bool m_stoppable;
    int m_owedMs = 0;
};
