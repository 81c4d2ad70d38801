#include "platform/program_folder.h"

#include <QCoreApplication>

namespace platform {

QString ProgramFolder() { return QCoreApplication::applicationDirPath(); }

}  // namespace platform
