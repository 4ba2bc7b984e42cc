#include "app/ProgramModules.h"

#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "platform/Process.h"

#include <sys/stat.h>

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

CRecorderDlg::Setup ProgramModules()
{
    CRecorderDlg::Setup setup;
    setup.makeReceiver = [] {
        return std::make_unique<ReceiverLibrary>(InProgramDirectory(ReceiverLibrary::kDefaultModuleName));
    };
    setup.makeRemuxer = [] {
        return std::make_unique<RemuxerBinding>(InProgramDirectory(RemuxerBinding::DefaultModule()));
    };
    return setup;
}

} // namespace quelmar
