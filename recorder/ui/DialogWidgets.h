// The widget of one dialog template item, as the main window builds it.
// User-interface thread.
#pragma once

#include "ui/DialogTemplate.h"
#include "ui/DialogUnits.h"

class QWidget;

namespace quelmar {

// A new widget for `item` in `client` (which owns it), set up for the
// item's kind: captions, alignment, icons, the drop list's rows and the
// picture from `units`. Neither placed nor connected; the caller does that.
QWidget *CreateDialogWidget(const DialogItem &item, QWidget *client, const DialogUnits &units);

} // namespace quelmar
