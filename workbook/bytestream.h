#pragma once
// Byte streams shared by the package reader, the package writer and the part splicer.
//
// A source hands out bytes in order until it is exhausted; a sink takes bytes in order. Both
// report failure through their return value and keep the reason for Error(). Neither is
// thread-safe; each is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>

namespace workbook
{

class ByteSource
{
  public:
    virtual ~ByteSource() = default;
    /// Reads up to `n` bytes into `buffer`. Returns the number read (0 once the source is
    /// exhausted) or -1 on failure.
    virtual std::int64_t Read(char *buffer, std::size_t n) = 0;
    /// Why the last Read failed.
    virtual std::string Error() const { return {}; }
};

class ByteSink
{
  public:
    virtual ~ByteSink() = default;
    /// Writes all `n` bytes. Returns false on failure.
    virtual bool Write(const char *data, std::size_t n) = 0;
    /// Why the last Write failed.
    virtual std::string Error() const { return {}; }
};

} // namespace workbook
