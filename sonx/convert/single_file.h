// Block-by-block reading and writing of one open file for a client, with the
// decoder, sample conversion and encoder chain between the file and the
// client's format. Used by SonxFile's ISonxFile operations.
#ifndef SONX_CONVERT_SINGLE_FILE_H
#define SONX_CONVERT_SINGLE_FILE_H

#include <cstdint>
#include <vector>

#include "sonx/fileio/audio_file.h"
#include "sonx/fileio/packet_pump.h"

namespace sonx {

// The file of the single-file interface with its own work buffers and the
// samples (in the encoder format) that did not fill a whole block at the
// end of the previous call.
struct SingleFile {
    AudioFile file;
    PumpBuffers buffers;
    std::vector<uint8_t> pending;
    uint32_t pendingSamples = 0;

    bool isOpen() const { return file.handle.type != FILE_HANDLE_CLOSED; }
    // Drops the carried samples and the converter's stream in progress.
    void forgetCarried();
};

// Client and file exchange the same blocks: same codec and data format, and
// no rate or width change between them.
bool isFastPath(const AudioFile& file);

// Reads up to `count` file blocks and delivers them in the client format.
// A null buffer only answers how many client blocks (and, through bytesOut,
// at most how many bytes) that many file blocks give. Throws on failure
// after `delivered` holds the client blocks delivered so far.
uint32_t readSingle(SingleFile& single, uint32_t count, uint8_t* buffer, uint32_t* bytesOut,
                    uint32_t& delivered);

// Writes `count` client blocks to the file; samples short of a whole file
// block are kept for the next call. Throws on failure after `written` holds
// the file blocks written so far.
uint32_t writeSingle(SingleFile& single, uint32_t count, const uint8_t* data, uint32_t* bytesOut,
                     uint32_t& written);

// Ends the converter's stream (writing its tail) and completes the samples
// left short of a block with silence to one file block, which is written.
// Does nothing when no samples are pending or held.
void flushSingle(SingleFile& single);

// Moves to file block `block` (at most the block count) of a file opened for
// reading. Variable-size packets are walked from the data start. Throws on a
// file error after `reached` holds the block index reached (blocksDone and
// dataPosition are then left there).
uint32_t seekSingle(SingleFile& single, uint32_t block, uint32_t& reached);

}  // namespace sonx

#endif  // SONX_CONVERT_SINGLE_FILE_H
