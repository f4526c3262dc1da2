#include "velconv/info.h"
#include "velconv/velconv.h"

#include <iostream>

#include "velconv/file_system.h"
#include "words/facts.h"

namespace sonx::velconv {

std::string describeFacts(const std::string& name, const FileFacts& facts, InfoFormat format) {
    return format == InfoFormat::Json ? words::factsJson(name, facts) + "\n" : words::factsText(name, facts);
}

int runInfo(const std::vector<std::string>& names, InfoFormat format) {
    if (names.empty()) throw std::runtime_error("Name the files to describe after -i");
    int status = 0;
    for (const std::string& name : names) {
        FileFacts facts;
        std::string error;
        if (name == kStdioName) error = "Standard input cannot be described; name a file";
        if (error.empty() && describeFile(FileHandle::named(name.c_str()), facts, error)) {
            std::cout << describeFacts(name, facts, format);
            std::cout.flush();
            continue;
        }
        status = kFailureStatus;
        std::cerr << "ERROR: '" + name + "': " + error + "\n";
        std::cerr.flush();
        if (format == InfoFormat::Json) {
            std::cout << words::errorJson(name, error) + "\n";
            std::cout.flush();
        }
    }
    return status;
}

}  // namespace sonx::velconv
