// Compiled by the test suite with -std=c++17 -Wall -Wextra -Werror -pedantic:
// embedding programs are often C++17, so the public header may need nothing
// newer. Compiling to an object file instantiates the templates and inline
// code a C++17 program would use.
#include "sonx/sonx.h"

#include <string>

namespace {

constexpr sonx::Guid lowerCase = sonx::Guid::of("5e7f6d41-b115-11d0-ba91-00805fb4b97e");
static_assert(lowerCase == sonx::CODEC_QCELP13K, "hex digits in either case, braces optional");
static_assert(lowerCase != sonx::CODEC_QCELP13K_ALT, "identities differing in one byte");
static_assert(sonx::CODEC_QCELP13K.bytes[0] == 0x41 && sonx::CODEC_QCELP13K.bytes[3] == 0x5E &&
                  sonx::CODEC_QCELP13K.bytes[4] == 0x15 && sonx::CODEC_QCELP13K.bytes[8] == 0xBA,
              "the first three fields are stored little-endian, the last eight bytes in order");

constexpr bool parses(const char* text) {
    sonx::Guid out;
    return sonx::Guid::parse(text, out);
}
static_assert(!parses("{5E7F6D41-B115-11D0-BA91-00805FB4B97E"), "one brace only");
static_assert(!parses("5E7F6D41+B115-11D0-BA91-00805FB4B97E"), "a wrong separator");
static_assert(!parses("5E7F6D41-B115-11D0-BA91-00805FB4B97G"), "a non-hex digit");

int32_t serveNothing(int32_t operation, uint8_t*, int32_t position, int32_t, uintptr_t clientData) {
    return operation == sonx::CLIENT_FILE_SEEK ? position : static_cast<int32_t>(clientData);
}

void ignoreEvent(uint32_t, uint32_t, uint32_t) {}

}  // namespace

// Never run; it exists so the interface calls are compiled.
std::string convertToClient(const char* inputName) {
    auto* converter = sonx::createInstance<sonx::ISonxConvertFile>(sonx::CLSID_SonxFile);
    if (!converter) return "no converter";
    sonx::ISonxError* error = sonx::queryInterface<sonx::ISonxError>(converter);

    const sonx::FileHandle input = sonx::FileHandle::named(inputName);
    const sonx::FileHandle output = sonx::FileHandle::client(serveNothing, 0);
    sonx::AudioFormat inputFormat;
    inputFormat.fileType = sonx::FILE_TYPE_WAV;
    inputFormat.codec = sonx::CODEC_PCM;
    inputFormat.dataFormat = sonx::DATA_FORMAT_SAMPLES;
    sonx::AudioFormat outputFormat = inputFormat;
    outputFormat.fileType = sonx::FILE_TYPE_QCP;
    outputFormat.codec = sonx::CODEC_QCELP13K;
    outputFormat.dataFormat = sonx::RATE_SET_VFR;

    std::string result = sonx::CLSID_SonxFile.toString();
    if (!converter->convert(&input, &inputFormat, &output, &outputFormat, ignoreEvent, 0) && error)
        result = error->errorText();
    if (error) error->Release();
    converter->Release();
    return result;
}
