// Fuzz input as a socket would hand it over: the first byte sets how much
// each read takes, the rest is the stream.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

class CutStream {
  public:
    CutStream(const uint8_t* data, size_t size)
        : chunk_(size > 0 ? 1 + data[0] % 97 : 0),
          data_(data + (size > 0)),
          size_(size - (size > 0)) {}
    bool empty() const { return size_ == 0; }
    // Copies the next read, at most room bytes, into space; returns its size.
    size_t readInto(uint8_t* space, size_t room) {
        const size_t take = std::min({room, chunk_, size_});
        memcpy(space, data_, take);
        data_ += take;
        size_ -= take;
        return take;
    }

  private:
    size_t chunk_;
    const uint8_t* data_;
    size_t size_;
};
