#include "qtglue/QtDispatcher.h"

#include <QMetaObject>

namespace quelmar {

void QtDispatcher::Post(std::function<void()> task)
{
    QMetaObject::invokeMethod(&context_, std::move(task), Qt::QueuedConnection);
}

} // namespace quelmar
