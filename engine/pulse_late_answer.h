// SPDX-License-Identifier: GPL-3.0-or-later
// What the libpulse back end wrote while the server was late, brought in
// line once the server answers.
#pragma once

#include "pulse_connection.h"
#include "pulse_timing.h"

#include <cstdint>
#include <functional>

namespace quavira {

// A call that found the server late wrote where it is safe without a fresh
// position (the end of the queue) and noted it here. When the server
// answers the request that call gave up on, it is given a moment to catch
// up with what it missed (a null sink takes the stall's length at once),
// then its position is asked again; an answer about as quick as the
// server's recent ones is handed on, to move what the late call wrote up
// to where it would have gone. A slow answer, or none, is asked again, at
// most kMostAsks times in all; then the last slow answer is handed on as it
// is, and with none what was written stays where it is (a stop's fade check
// corks the stream all the same). Under the main loop's lock, from either
// thread.
class LateAnswer {
public:
    // What the late call did, and where it wrote.
    enum class Kind { Change, Start, CorkedStart, Stop };
    // Told on libpulse's thread.
    using BringInLine = std::function<void(Kind kind, std::uint64_t frame, const StreamPosition& position)>;

    static constexpr int kMostAsks = 5;

    LateAnswer(PulseConnection& connection, const StreamTiming& timing, BringInLine bringInLine);
    LateAnswer(const LateAnswer&) = delete;
    LateAnswer& operator=(const LateAnswer&) = delete;

    // A call wrote late. A change made after a late start leaves the start
    // to be moved up, and the change with it.
    void note(Kind kind, std::uint64_t frame);
    // Nothing to bring in line: a call had a fresh position, or the stream
    // went.
    void clear();
    // The server answered a request a call gave up on.
    void serverBack();
    bool noted() const { return m_state != State::Idle; }

private:
    // Idle: nothing noted. Noted: waiting for the server to answer.
    // CatchingUp: it answered, and is given a moment. Asking: its position
    // is on its way.
    enum class State { Idle, Noted, CatchingUp, Asking };

    void ask();
    void answered(const StreamPosition* position);

    void askAgain();

    PulseConnection& m_connection;
    const StreamTiming& m_timing;
    BringInLine m_bringInLine;
    State m_state = State::Idle;
    Kind m_kind = Kind::Change;
    std::uint64_t m_frame = 0;
    int m_asks = 0;  // since the note
    PulseTimer m_catchUp;
    PositionRequest m_position;
};

}  // namespace quavira
