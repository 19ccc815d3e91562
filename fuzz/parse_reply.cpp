// Fuzzes ParseReply, the validation of a reply line from an instrument.
//
// Input: byte 0 the expected address, byte 1 the number of fields asked for (0..63, so
// counts above the limit of 60 occur too), the rest the reply line. Each input is checked
// twice:
// - as it is: whatever the line, the parser must not misbehave, and when it accepts it,
//   the line must really be "!" address ";" field ";" ... checksum CR with the fields it
//   reported and a checksum that matches;
// - as the makings of a valid reply: noise, then the fields built from the rest (value
//   characters only, split at '\n'), framed with the right CRC. That reply must be
//   accepted with exactly those fields, and rejected with any other address, field count
//   or checksum.
#include "exchange.h"
#include "morecom.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// A decimal integer as the reply writes it: an optional '-', then digits only.
bool Decimal(const std::string &text, long long &value)
{
    const size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    value = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

// A run of characters of one class from `pos` on.
std::string Run(const std::string &s, size_t &pos, bool (*cls)(uint8_t))
{
    const size_t from = pos;
    while (pos < s.size() && cls(static_cast<uint8_t>(s[pos])))
        ++pos;
    return s.substr(from, pos - from);
}

// An accepted line: re-reads its structure from the fields the parser reported.
void CheckAccepted(const std::string &line, int address, int count)
{
    Check(count <= MoreCOM::MaxReplyFields);
    const size_t bang = line.find('!');
    Check(bang != std::string::npos);
    size_t pos = bang + 1;
    long long value = 0;
    Check(Decimal(Run(line, pos, MoreCOM::IsNumberChar), value) && value == address);
    Check(pos < line.size() && line[pos] == ';');
    ++pos;
    for (int k = 1; k <= count; ++k) {
        const std::string &field = MoreCOM::ReplyFields[static_cast<size_t>(k)];
        for (char c : field)
            Check(MoreCOM::IsValueChar(static_cast<uint8_t>(c)));
        Check(line.compare(pos, field.size() + 1, field + ";") == 0);
        pos += field.size() + 1;
    }
    const std::string checked = line.substr(bang + 1, pos - bang - 1);
    // Leading zeros are accepted, and so is "-0" for a checksum of 0. (A number beyond 64
    // bits saturates in strtoll and cannot match.)
    Check(Decimal(Run(line, pos, MoreCOM::IsNumberChar), value) &&
          value == MoreCOM::Crc16(checked));
    Check(pos < line.size() && line[pos] == '\r');
}

std::string Frame(const std::string &noise, const std::string &checked, uint16_t crc, int zeros)
{
    return noise + '!' + checked + std::string(static_cast<size_t>(zeros), '0') +
           std::to_string(crc) + '\r';
}

void CheckBuilt(const uint8_t *data, size_t size)
{
    const int address = data[0] % 255;
    const int zeros = data[1] % 3;
    std::string noise;
    std::vector<std::string> fields;
    size_t i = 2;
    for (; i < size && data[i] != '\n'; ++i)
        if (data[i] != '!')
            noise += static_cast<char>(data[i]);
    while (i < size && fields.size() < static_cast<size_t>(MoreCOM::MaxReplyFields)) {
        std::string field;
        for (++i; i < size && data[i] != '\n'; ++i)
            if (MoreCOM::IsValueChar(data[i]))
                field += static_cast<char>(data[i]);
        fields.push_back(field);
    }
    const int count = static_cast<int>(fields.size());
    std::string checked = std::to_string(address) + ';';
    for (const std::string &f : fields)
        checked += f + ';';
    const uint16_t crc = MoreCOM::Crc16(checked);

    const std::string line = Frame(noise, checked, crc, zeros);
    Check(MoreCOM::ParseReply(line, address, count));
    for (int k = 1; k <= count; ++k)
        Check(MoreCOM::ReplyFields[static_cast<size_t>(k)] == fields[static_cast<size_t>(k - 1)]);
    // Bytes after the carriage return are not part of the line's checks.
    Check(MoreCOM::ParseReply(line + "!1;2;3\r", address, count));

    Check(!MoreCOM::ParseReply(line, address + 1, count));
    Check(!MoreCOM::ParseReply(line, address, count + 1));
    if (count > 0)
        Check(!MoreCOM::ParseReply(line, address, count - 1));
    Check(!MoreCOM::ParseReply(Frame(noise, checked, crc ^ 1, zeros), address, count));
    Check(!MoreCOM::ParseReply(line.substr(0, line.size() - 1), address, count));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int address = data[0];
    const int count = data[1] % 64;
    const std::string line(reinterpret_cast<const char *>(data) + 2, size - 2);
    if (MoreCOM::ParseReply(line, address, count))
        CheckAccepted(line, address, count);
    CheckBuilt(data, size);
    return 0;
}
