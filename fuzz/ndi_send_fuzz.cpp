// libFuzzer target: what the sender reads from a peer. Any byte stream, cut
// into reads of any size, must give one hello inside its bounds, then only a
// refusal, or a refusal with its reason; and the reader never asks for more
// room than a hello takes, whatever the peer announces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/cut_stream.h"
#include "platform/ndi/wire.h"

namespace {

void checkHello(const ndiwire::PeerReader& reader) {
    if ((reader.wants() & ~uint32_t{ndiwire::kWantEverything}) != 0) abort();
    if (strnlen(reader.name(), ndiwire::kMaxNameSize + 1) > ndiwire::kMaxNameSize) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CutStream stream(data, size);
    ndiwire::PeerReader reader;
    bool greeted = false;
    while (!stream.empty()) {
        size_t room = 0;
        uint8_t* space = reader.space(&room);
        if (room == 0 || room > ndiwire::kHeaderSize + ndiwire::kMaxNameSize) abort();
        const size_t take = stream.readInto(space, room);
        const char* error = nullptr;
        switch (reader.advance(take, &error)) {
            case ndiwire::PeerReader::kRefused:
                if (error == nullptr) abort();  // every refusal names its reason
                return 0;
            case ndiwire::PeerReader::kGreeted:
                if (greeted) abort();
                greeted = true;
                checkHello(reader);
                break;
            case ndiwire::PeerReader::kMore:
                if (greeted) abort();  // a byte after the hello is refused
                break;
        }
    }
    return 0;
}
