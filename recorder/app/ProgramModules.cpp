#include "app/ProgramModules.h"

#include "app/CommandLine.h"
#include "aspi_layer.h"
#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "platform/DynamicLibrary.h"
#include "platform/Process.h"
#include "timers/TimerStore.h"

#include <sys/stat.h>

#include <cstdio>
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

std::string AspiLayerModule() { return scsi_cli::aspiLayerAsked(ProgramDirectory()); }

ReceiverRequest ReceiverRequestOf(const CommandLineOptions &options)
{
    return {options.receiver, options.instance, options.arguments};
}

std::string NoReceiverHint(const ReceiverReport &report)
{
    if (!report.refusal.empty())
        return report.refusal;
    switch (report.status) {
    case ReceiverLibrary::kLibraryMissing:
    case ReceiverLibrary::kEntryMissing:
    case ReceiverLibrary::kVersionTooOld: {
        char status[sizeof "0x12345678"];
        std::snprintf(status, sizeof status, "0x%08x", report.status);
        return std::string("no receiver found: ") + ReceiverLibrary::kDefaultModuleName +
               " could not be used (status " + status + "), so no ASPI layer was asked";
    }
    default: break;
    }
    // The binding's status is the ASPI status word, or a discovery result
    // after the layer answered.
    const uint32_t aspi = report.status >= DVB_ASPI_OK ? report.status : DVB_ASPI_OK;
    const std::string layer = AspiLayerModule();
    std::string text =
        scsi_cli::noReceiverText(aspi, layer, report.address ? " at " + AddressText(*report.address) : "");
    if (const std::string hint = scsi_cli::virtualReceiverHint(layer, kProgramName, report.arguments); !hint.empty())
        text += "; " + hint;
    return text;
}

CRecorderDlg::Setup ProgramModules(const ReceiverRequest &request, std::shared_ptr<ReceiverReport> report)
{
    CRecorderDlg::Setup setup;
    setup.makeReceiver = [request, report] {
        ReceiverChoice choice;
        choice.address = request.address;
        choice.lock = true;
        choice.instance = request.instance;
        choice.layer = AspiLayerModule();
        auto binding =
            std::make_unique<ReceiverLibrary>(InProgramDirectory(ReceiverLibrary::kDefaultModuleName), choice);
        if (report)
            *report = {binding->Status(), binding->refusal, request.address, request.arguments};
        return binding;
    };
    setup.makeRemuxer = [] {
        const std::string chosen = RemuxerBinding::DefaultModule();
        return std::make_unique<RemuxerBinding>(InProgramDirectory(chosen), chosen);
    };
    setup.timerStorePath = DefaultTimerStorePath(request.instance);
    return setup;
}

void KeepModulesUntilExit()
{
    // Held through a global pointer and never released: no destructor runs
    // at exit, and the references stay reachable.
    static auto *const kKept = new std::vector<std::unique_ptr<DynamicLibrary>>();
    for (const std::string &name : {InProgramDirectory(ReceiverLibrary::kDefaultModuleName), AspiLayerModule(),
                                    InProgramDirectory(RemuxerBinding::DefaultModule())}) {
        auto module = std::make_unique<DynamicLibrary>();
        if (module->Load(name))
            kKept->push_back(std::move(module));
    }
}

} // namespace quelmar
