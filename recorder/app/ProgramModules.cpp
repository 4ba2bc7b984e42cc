#include "app/ProgramModules.h"

#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "platform/DynamicLibrary.h"
#include "platform/Process.h"

#include <sys/stat.h>

#include <cstdlib>
#include <vector>

namespace quelmar {

std::string InProgramDirectory(const std::string &name)
{
    if (name.empty() || name.find('/') != std::string::npos)
        return name;
    const std::string directory = ProgramDirectory();
    if (directory.empty())
        return name;
    const std::string path = directory + "/" + name;
    struct stat info = {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? path : name;
}

namespace {

// The ASPI layer module the library loads (see the README's QUELMAR_ASPI_LAYER).
constexpr char kAspiLayerVariable[] = "QUELMAR_ASPI_LAYER";
constexpr char kDefaultAspiLayer[] = "libwnaspi32.so";

} // namespace

CRecorderDlg::Setup ProgramModules()
{
    CRecorderDlg::Setup setup;
    setup.makeReceiver = [] {
        return std::make_unique<ReceiverLibrary>(InProgramDirectory(ReceiverLibrary::kDefaultModuleName));
    };
    setup.makeRemuxer = [] {
        const std::string chosen = RemuxerBinding::DefaultModule();
        return std::make_unique<RemuxerBinding>(InProgramDirectory(chosen), chosen);
    };
    return setup;
}

void KeepModulesUntilExit()
{
    // Held through a global pointer and never released: no destructor runs
    // at exit, and the references stay reachable.
    static auto *const kKept = new std::vector<std::unique_ptr<DynamicLibrary>>();
    const char *layer = std::getenv(kAspiLayerVariable);
    for (const std::string &name : {InProgramDirectory(ReceiverLibrary::kDefaultModuleName),
                                    InProgramDirectory(layer && *layer ? layer : kDefaultAspiLayer),
                                    InProgramDirectory(RemuxerBinding::DefaultModule())}) {
        auto module = std::make_unique<DynamicLibrary>();
        if (module->Load(name))
            kKept->push_back(std::move(module));
    }
}

} // namespace quelmar
