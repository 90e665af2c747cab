// SPDX-License-Identifier: GPL-3.0-or-later
// The .sbg reader: lines to options, tone sets, blocks and time lines; blocks expanded, times ordered.
#include "sbg_reader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cstddef>
#include <fstream>
#include <map>

namespace quavira::programs {
namespace {

constexpr double kDaySec = 86400.0;
// Half the output's 44,100 frames per second (for a spin, its beat).
constexpr double kHighestToneHz = 22050.0;

bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '_' || c == '-'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isName(std::string_view s)
{
    return !s.empty() && isNameStart(s.front()) && std::all_of(s.begin(), s.end(), isNameChar);
}

std::string_view trim(std::string_view s)
{
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; };
    while (!s.empty() && space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && space(s.back()))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> words(std::string_view s)
{
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\f' || s[i] == '\v'))
            ++i;
        std::size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t' && s[j] != '\r' && s[j] != '\f' && s[j] != '\v')
            ++j;
        if (j > i)
            out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

// The listener sees words from the file in messages: keep them short and printable.
std::string quoted(std::string_view s)
{
    std::string out = "\"";
    for (char c : s.substr(0, 60))
        out += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
    if (s.size() > 60)
        out += "...";
    return out + "\"";
}

// A plain decimal: digits with an optional fraction (no sign, no exponent).
std::optional<double> decimal(std::string_view s)
{
    if (s.empty() || s.size() > 32)
        return std::nullopt;
    bool digit = false;
    bool point = false;
    for (char c : s) {
        if (isDigit(c))
            digit = true;
        else if (c == '.' && !point)
            point = true;
        else
            return std::nullopt;
    }
    if (!digit)
        return std::nullopt;
    double v = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// Bytes outside UTF-8 are taken as Latin-1, as older files were written.
std::string toUtf8(std::string_view s)
{
    std::string out;
    std::size_t i = 0;
    bool valid = true;
    while (i < s.size() && valid) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            valid = false;
        for (std::size_t k = 1; valid && k < n; ++k)
            valid = (static_cast<unsigned char>(s[i + k]) >> 6) == 2;
        i += n;
    }
    if (valid)
        return std::string(s);
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct ClockTime {
    bool absolute = false;  // starts with NOW or hh:mm
    double headSec = 0.0;   // the absolute part (NOW is 0:00:00)
    double addSec = 0.0;    // the sum of the +hh:mm[:ss] parts
};

// hh:mm or hh:mm:ss; for an absolute time the hours are those of a day.
std::optional<double> hms(std::string_view s, bool absolute)
{
    std::size_t i = 0;
    const auto number = [&](std::size_t minDigits, std::size_t maxDigits) -> std::optional<int> {
        const std::size_t start = i;
        int v = 0;
        while (i < s.size() && isDigit(s[i]) && i - start < maxDigits)
            v = v * 10 + (s[i++] - '0');
        if (i - start < minDigits)
            return std::nullopt;
        return v;
    };
    const auto h = number(1, 2);
    if (!h || i >= s.size() || s[i++] != ':')
        return std::nullopt;
    const auto m = number(2, 2);
    if (!m)
        return std::nullopt;
    int sec = 0;
    if (i < s.size()) {
        if (s[i++] != ':')
            return std::nullopt;
        const auto ss = number(2, 2);
        if (!ss)
            return std::nullopt;
        sec = *ss;
    }
    if (i != s.size() || *m > 59 || sec > 59 || (absolute && *h > 23))
        return std::nullopt;
    return *h * 3600.0 + *m * 60.0 + sec;
}

std::optional<ClockTime> clockTime(std::string_view s)
{
    ClockTime t;
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == '+') {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    if (!parts.front().empty()) {
        t.absolute = true;
        if (parts.front() == "NOW") {
            t.headSec = 0.0;
        } else if (const auto v = hms(parts.front(), true)) {
            t.headSec = *v;
        } else {
            return std::nullopt;
        }
    } else if (parts.size() < 2) {
        return std::nullopt;
    }
    for (std::size_t k = 1; k < parts.size(); ++k) {
        const auto v = hms(parts[k], false);
        if (!v)
            return std::nullopt;
        t.addSec += *v;
    }
    return t;
}

struct RawTimeLine {
    ClockTime time;
    char fadeIn = '-';
    char fadeOut = '-';
    bool slideToNext = false;
    std::string name;
    int line = 0;
};

struct Block {
    std::vector<RawTimeLine> lines;
    int line = 0;
};

class Reader {
public:
    ReadResult<SbgProgram> read(std::string_view bytes);
    std::optional<ReadError> voiceOnly(std::string_view spec, std::optional<VoiceSpec>& out) { return voice(spec, 0, out); }

private:
    std::optional<ReadError> options(const std::vector<std::string_view>& w, int line);
    std::optional<ReadError> toneSet(std::string_view name, const std::vector<std::string_view>& specs, int line);
    std::optional<ReadError> voice(std::string_view spec, int line, std::optional<VoiceSpec>& out);
    std::optional<RawTimeLine> timeLine(std::string_view text, int line, ReadError& error);
    std::optional<ReadError> expand(const RawTimeLine& raw, double atSec, int topLine, std::vector<std::string>& using_);
    std::optional<ReadError> define(const std::string& name, int line);
    void note(std::string text);

    SbgProgram m_program;
    std::map<std::string, std::size_t> m_setIndex;
    std::map<std::string, Block> m_blocks;
    std::map<std::string, int> m_defined;  // name -> line
    std::vector<RawTimeLine> m_main;
    std::vector<double> m_times;
    std::size_t m_expansions = 0;  // absolute seconds of each expanded line (may pass a day)
};

void Reader::note(std::string text)
{
    if (std::find(m_program.notes.begin(), m_program.notes.end(), text) == m_program.notes.end())
        m_program.notes.push_back(std::move(text));
}

std::optional<ReadError> Reader::define(const std::string& name, int line)
{
    const auto [it, added] = m_defined.emplace(name, line);
    if (!added)
        return ReadError{line, quoted(name) + " is defined twice (first on line " + std::to_string(it->second) + ")"};
    return std::nullopt;
}

std::optional<ReadError> Reader::options(const std::vector<std::string_view>& w, int line)
{
    for (std::size_t i = 0; i < w.size(); ++i) {
        const std::string_view word = w[i];
        if (word.size() < 2 || word.front() != '-')
            return ReadError{line, quoted(word) + " is not an option (options start with -)"};
        // An option's arguments are the rest of its word, or else the words up to the next option.
        std::size_t argsEnd = i + 1;
        while (argsEnd < w.size() && w[argsEnd].front() != '-')
            ++argsEnd;
        for (std::size_t k = 1; k < word.size(); ++k) {
            const char c = word[k];
            if (c == 'S')
                continue;  // every file plays from its first time line
            if (c == 'E') {
                m_program.endAtLastLine = true;
                continue;
            }
            if (c == 'Q' || c == 'D') {
                note(c == 'Q' ? "-Q (quiet) has no use here" : "-D (the program printed) has no use here");
                continue;
            }
            const std::string_view attached = word.substr(k + 1);
            std::vector<std::string_view> args;
            if (!attached.empty())
                args.push_back(attached);
            else
                args.assign(w.begin() + static_cast<std::ptrdiff_t>(i + 1), w.begin() + static_cast<std::ptrdiff_t>(argsEnd));
            if (c == 'p') {
                // The rest of the line is the generated program's, whatever it holds.
                if (!attached.empty() || i + 1 >= w.size())
                    return ReadError{line, "-p needs the name of a program (drop or slide)"};
                GeneratedSpec spec{std::string(w[i + 1]), {}, line};
                for (std::size_t a = i + 2; a < w.size(); ++a)
                    spec.words.emplace_back(w[a]);
                m_program.generated = std::move(spec);
                return std::nullopt;
            }
            if (c == 'i') {
                note("-i (a tone set given with the options) is not played");
                return std::nullopt;
            }
            if (c == 'F') {
                const auto ms = args.size() == 1 ? decimal(args[0]) : std::nullopt;
                if (!ms || *ms > 3600000.0)
                    return ReadError{line, "-F needs one fade time in milliseconds"};
                m_program.fadeSec = *ms / 1000.0;
            } else if (c == 'm') {
                note("-m: the audio file it names is not mixed in");
            } else if (c == 'L') {
                note("-L (a length to play): the program plays its own length");
            } else if (c == 'T') {
                note("-T (a clock time to start): the program plays from its first time line");
            } else {
                note("-" + std::string(1, c) + " has no use here");
            }
            if (attached.empty())
                i = argsEnd - 1;
            break;
        }
    }
    return std::nullopt;
}

std::optional<ReadError> Reader::voice(std::string_view spec, int line, std::optional<VoiceSpec>& out)
{
    out.reset();
    if (spec == "-")
        return std::nullopt;
    const auto bad = [&] { return ReadError{line, quoted(spec) + " is not a voice (like 200+10/20, pink/30)"}; };
    const auto slash = spec.rfind('/');
    if (slash == std::string_view::npos)
        return bad();
    const auto amplitude = decimal(spec.substr(slash + 1));
    if (!amplitude)
        return bad();
    std::string_view body = spec.substr(0, slash);
    VoiceSpec v;
    v.level = *amplitude / 100.0;
    if (body == "pink" || body == "white" || body == "brown") {
        v.kind = body == "pink" ? VoiceKind::PinkNoise : body == "white" ? VoiceKind::WhiteNoise : VoiceKind::BrownNoise;
        out = v;
        return std::nullopt;
    }
    if (body == "mix") {
        note("mix/ (the level of an audio file given with -m) is not played");
        return std::nullopt;
    }
    if (body.starts_with("bell+")) {
        const auto f = decimal(body.substr(5));
        if (!f)
            return bad();
        if (*f > kHighestToneHz)
            return ReadError{line, quoted(spec) + " goes above 22,050 Hz, the highest tone that can play"};
        v.kind = VoiceKind::Bell;
        v.carrierHz = *f;
        out = v;
        return std::nullopt;
    }
    bool spin = false;
    if (body.starts_with("spin:")) {
        spin = true;
        body.remove_prefix(5);
    } else if (body.starts_with("wave")) {
        const auto colon = body.find(':');
        if (colon == std::string_view::npos || colon < 5 || colon > 6 ||
            !std::all_of(body.begin() + 4, body.begin() + static_cast<std::ptrdiff_t>(colon), isDigit))
            return bad();
        note("waveNN: tones in a waveform of the file's own are played as sine tones");
        body.remove_prefix(colon + 1);
    }
    const auto sign = body.find_first_of("+-");
    const auto first = decimal(body.substr(0, sign));
    if (!first)
        return bad();
    double beat = 0.0;
    if (sign != std::string_view::npos) {
        const auto b = decimal(body.substr(sign + 1));
        if (!b)
            return bad();
        beat = body[sign] == '+' ? *b : -*b;
    } else if (spin) {
        return bad();
    }
    if (spin) {
        v.kind = VoiceKind::Spin;
        v.widthUs = *first;
    } else {
        v.carrierHz = *first;
    }
    v.beatHz = beat;
    if (v.carrierHz + std::abs(v.beatHz) / 2 > kHighestToneHz)
        return ReadError{line, quoted(spec) + " goes above 22,050 Hz, the highest tone that can play"};
    out = v;
    return std::nullopt;
}

std::optional<ReadError> Reader::toneSet(std::string_view name, const std::vector<std::string_view>& specs, int line)
{
    if (specs.size() > kMaxVoices)
        return ReadError{line, quoted(name) + " has " + std::to_string(specs.size()) + " voices; at most " +
                                   std::to_string(kMaxVoices) + " can play at once"};
    ToneSet set{std::string(name), {}, line};
    for (const auto spec : specs) {
        std::optional<VoiceSpec> v;
        if (auto error = voice(spec, line, v))
            return error;
        set.voices.push_back(v);
    }
    m_setIndex[set.name] = m_program.sets.size();
    m_program.sets.push_back(std::move(set));
    return std::nullopt;
}

std::optional<RawTimeLine> Reader::timeLine(std::string_view text, int line, ReadError& error)
{
    const auto w = words(text);
    RawTimeLine raw;
    raw.line = line;
    const auto time = clockTime(w.front());
    std::vector<std::string_view> rest(w.begin() + 1, w.end());
    if (!rest.empty() && rest.back().size() > 2 && rest.back().ends_with("->")) {
        const auto name = rest.back().substr(0, rest.back().size() - 2);
        rest.back() = name;
        rest.push_back("->");
    }
    if (!rest.empty() && rest.back() == "->") {
        raw.slideToNext = true;
        rest.pop_back();
    }
    if (rest.size() == 2 && rest[0].size() == 2 && std::string_view("<-=").find(rest[0][0]) != std::string_view::npos &&
        std::string_view(">-=").find(rest[0][1]) != std::string_view::npos) {
        raw.fadeIn = rest[0][0];
        raw.fadeOut = rest[0][1];
        rest.erase(rest.begin());
    }
    if (!time) {
        error = ReadError{line, quoted(w.front()) + " is not a time (hh:mm, hh:mm:ss, NOW, +hh:mm), a tone set or an option"};
        return std::nullopt;
    }
    if (rest.size() != 1 || !isName(rest[0])) {
        error = ReadError{line, "a time line is a time, an optional transition (like --) and one name, not " +
                                    quoted(text)};
        return std::nullopt;
    }
    raw.time = *time;
    raw.name = std::string(rest[0]);
    return raw;
}

std::optional<ReadError> Reader::expand(const RawTimeLine& raw, double atSec, int topLine,
                                        std::vector<std::string>& using_)
{
    if (const auto set = m_setIndex.find(raw.name); set != m_setIndex.end()) {
        if (m_program.lines.size() >= kMaxTimeLines)
            return ReadError{topLine, "the blocks expand to more than " + std::to_string(kMaxTimeLines) + " time lines"};
        m_program.lines.push_back({0.0, raw.fadeIn, raw.fadeOut, raw.slideToNext, set->second, topLine});
        m_times.push_back(atSec);
        return std::nullopt;
    }
    const auto block = m_blocks.find(raw.name);
    if (block == m_blocks.end())
        return ReadError{raw.line, quoted(raw.name) + " is not a tone set or block defined in this file"};
    if (++m_expansions > kMaxTimeLines)
        return ReadError{topLine, "the blocks expand to more than " + std::to_string(kMaxTimeLines) + " uses"};
    if (std::find(using_.begin(), using_.end(), raw.name) != using_.end())
        return ReadError{raw.line, "block " + quoted(raw.name) + " uses itself"};
    using_.push_back(raw.name);
    for (const auto& inner : block->second.lines) {
        if (auto error = expand(inner, atSec + inner.time.addSec, topLine, using_))
            return error;
    }
    using_.pop_back();
    return std::nullopt;
}

ReadResult<SbgProgram> Reader::read(std::string_view bytes)
{
    if (bytes.size() > kMaxSbgBytes)
        return ReadError{0, "the file is larger than 1 MiB: not a sequence file"};
    int lineNo = 1;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n')
            ++lineNo;
        else if ((c < 0x20 && c != '\t' && c != '\r' && c != '\f' && c != '\v' && c != 0x1A) || c == 0x7F)
            return ReadError{lineNo, "the file is not text (it holds control bytes)"};
    }

    std::string description;
    bool content = false;  // a tone set, block or time line seen: no options after it
    std::string openBlock;
    lineNo = 0;
    std::size_t start = 0;
    while (start <= bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view text = bytes.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (const auto hash = text.find('#'); hash != std::string_view::npos) {
            if (text.substr(hash).starts_with("##")) {
                description += std::string(trim(text.substr(hash + 2))) + '\n';
            }
            text = text.substr(0, hash);
        }
        text = trim(text);
        if (text.empty())
            continue;
        if (text.front() == '-') {
            if (content)
                return ReadError{lineNo, "options must come before the tone sets and time lines"};
            if (auto error = options(words(text), lineNo))
                return *error;
            continue;
        }
        content = true;
        if (text == "}") {
            if (openBlock.empty())
                return ReadError{lineNo, "\"}\" ends no block"};
            openBlock.clear();
            continue;
        }
        const auto colon = text.find(':');
        const std::string_view head = colon == std::string_view::npos ? std::string_view{} : trim(text.substr(0, colon));
        if (isName(head) && head != "NOW") {
            if (!openBlock.empty())
                return ReadError{lineNo, "a block holds only time lines; " + quoted(head) + " is defined inside block " +
                                             quoted(openBlock)};
            const std::string name(head);
            const auto specs = words(text.substr(colon + 1));
            if (name.starts_with("wave") && name.size() == 6 && isDigit(name[4]) && isDigit(name[5])) {
                note("waveNN: tones in a waveform of the file's own are played as sine tones");
                continue;
            }
            if (auto error = define(name, lineNo))
                return *error;
            if (specs.size() == 1 && specs[0] == "{") {
                openBlock = name;
                m_blocks[name].line = lineNo;
                continue;
            }
            if (auto error = toneSet(name, specs, lineNo))
                return *error;
            continue;
        }
        ReadError error;
        auto raw = timeLine(text, lineNo, error);
        if (!raw)
            return error;
        if (!openBlock.empty()) {
            if (raw->time.absolute)
                return ReadError{lineNo, "a time in a block is relative to the block's use (+hh:mm), not " +
                                             quoted(words(text).front())};
            m_blocks[openBlock].lines.push_back(std::move(*raw));
        } else {
            m_main.push_back(std::move(*raw));
        }
    }
    if (!openBlock.empty())
        return ReadError{m_blocks[openBlock].line, "block " + quoted(openBlock) + " is not closed with \"}\""};

    double lastAbsolute = 0.0;
    for (const auto& raw : m_main) {
        if (raw.time.absolute)
            lastAbsolute = raw.time.headSec;
        std::vector<std::string> using_;
        if (auto error = expand(raw, lastAbsolute + raw.time.addSec, raw.line, using_))
            return *error;
    }

    // Times on a 24-hour clock that wraps: each line is after the one before it, and all of
    // them fit in the day that starts at the first.
    for (std::size_t i = 1; i < m_times.size(); ++i) {
        const double step = std::fmod(std::fmod(m_times[i] - m_times[i - 1], kDaySec) + kDaySec, kDaySec);
        auto& line = m_program.lines[i];
        line.offsetSec = m_program.lines[i - 1].offsetSec + step;
        if (line.offsetSec >= kDaySec)
            return ReadError{line.line, "this time is out of order: the time lines pass 24 hours after the first"};
    }
    if (m_program.lines.empty() && !m_program.generated)
        return ReadError{0, "the file has no time lines: nothing to play"};
    if (m_program.generated && !m_program.lines.empty())
        note("the time lines are not played: the file's -p program plays instead");
    while (!description.empty() && description.back() == '\n')
        description.pop_back();
    m_program.description = toUtf8(description);
    for (auto& n : m_program.notes)
        n = toUtf8(n);
    return std::move(m_program);
}

}  // namespace

bool ToneSet::silent() const
{
    return std::none_of(voices.begin(), voices.end(), [](const auto& v) { return v.has_value(); });
}

ReadResult<SbgProgram> readSbg(std::string_view bytes)
{
    return Reader().read(bytes);
}

std::optional<double> readDecimal(std::string_view text)
{
    return decimal(text);
}

std::optional<VoiceSpec> readVoice(std::string_view text)
{
    std::optional<VoiceSpec> v;
    if (Reader().voiceOnly(text, v))
        return std::nullopt;
    return v;
}

ReadResult<SbgProgram> readSbgFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return ReadError{0, std::string("the file cannot be opened: ") + std::strerror(errno)};
    std::string bytes(kMaxSbgBytes + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad())
        return ReadError{0, "the file cannot be read"};
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return readSbg(bytes);
}

}  // namespace quavira::programs
