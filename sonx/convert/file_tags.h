// The label and comment of a speech file: a QCP file's 'labl' and 'text'
// chunks, a WAV file's LIST/INFO INAM and ICMT entries. Conversions carry
// them from one form to the other.
#ifndef SONX_CONVERT_FILE_TAGS_H
#define SONX_CONVERT_FILE_TAGS_H

#include <string>

#include "sonx/fileio/audio_file.h"
#include "sonx/sonx.h"

namespace sonx {

struct FileTags {
    std::string label;
    std::string text;
    bool empty() const { return label.empty() && text.empty(); }
};

// From a file opened with its RIFF context bound and its header read; a
// missing or malformed tag is left empty.
FileTags readQcpTags(AudioFile& file);
FileTags readWavTags(AudioFile& file);

// Opens the QCP or WAV file behind `file` and reads its tags. Throws the
// file layer's errors.
FileTags readFileTags(const FileHandle& file);

// Adds the tags to a finished QCP or WAV file: 'labl' after 'vrat' (cut to
// its 48 bytes at a character boundary) and 'text' after 'data'; or one
// LIST/INFO chunk after 'data', so the 44-byte header of a WAV file stays.
// Nothing is written when the tags are empty. Throws the file layer's errors.
void writeFileTags(const FileHandle& file, const FileTags& tags);

}  // namespace sonx

#endif  // SONX_CONVERT_FILE_TAGS_H
