#include "FtdiSeam.h"

#include <algorithm>

namespace vqx::usb::ftdi {

int writeInPieces(const std::uint8_t* data, int size, int pieceSize, const BulkOut& bulk) {
    if (pieceSize <= 0)
        pieceSize = 4096;
    int done = 0;
    while (done < size) {
        const int piece = std::min(size - done, pieceSize);
        int moved = 0;
        const int rc = bulk(data + done, piece, &moved);
        moved = std::clamp(moved, 0, piece);
        done += moved;
        if (rc == kUsbErrorTimeout)
            return done;
        if (rc < 0)
            return rc;
        if (moved < piece)
            return done; // a short transfer without an error: the device took no more
    }
    return done;
}

} // namespace vqx::usb::ftdi
