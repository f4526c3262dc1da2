// A tiny program that uses sonx only through its installed public header:
// encodes a 16-bit 8 kHz mono WAV file to QCELP-13K QCP (variable rate),
// then prints the result's codec, identity and packet count through the
// header's std::string helpers (which must work with any C++ library).
//
//   consumer in.wav out.qcp
#include <sonx/sonx.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s in.wav out.qcp\n", argv[0]);
        return 2;
    }
    sonx::ISonxConvertFile* converter = sonx::createInstance<sonx::ISonxConvertFile>(sonx::CLSID_SonxFile);
    if (!converter) {
        std::fprintf(stderr, "no %s object\n", sonx::CLSID_SonxFile.toString().c_str());
        return 1;
    }
    sonx::ISonxError* error = sonx::queryInterface<sonx::ISonxError>(converter);
    if (!error) {
        converter->Release();
        return 1;
    }

    const sonx::FileHandle input = sonx::FileHandle::named(argv[1]);
    const sonx::FileHandle output = sonx::FileHandle::named(argv[2]);
    sonx::AudioFormat inputFormat, outputFormat;
    inputFormat.fileType = sonx::FILE_TYPE_WAV;
    inputFormat.codec = sonx::CODEC_PCM;
    inputFormat.sampleRate = 8000;
    inputFormat.sampleBits = 16;
    outputFormat.fileType = sonx::FILE_TYPE_QCP;
    outputFormat.codec = sonx::CODEC_QCELP13K;
    outputFormat.dataFormat = sonx::RATE_SET_VFR;

    const bool ok =
        converter->convert(&input, &inputFormat, &output, &outputFormat, nullptr, 0) && !error->hasError();
    if (!ok) std::fprintf(stderr, "conversion failed: %s\n", error->errorText());
    error->Release();
    converter->Release();
    if (!ok) return 1;

    sonx::FileFacts facts;
    std::string failure;
    if (!sonx::describeFile(output, facts, failure)) {
        std::fprintf(stderr, "cannot describe %s: %s\n", argv[2], failure.c_str());
        return 1;
    }
    std::printf("%s %s %u packets\n", facts.codecName ? facts.codecName : "unknown", facts.codec.toString().c_str(),
                static_cast<unsigned>(facts.packets));
    return 0;
}
