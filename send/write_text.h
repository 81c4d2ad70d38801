#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

namespace kivo {

// Writes text to a stream in UTF-8 and flushes it at once, so that a script
// reading kivo-send's output sees each line as it is made.
inline void WriteText(std::FILE* to, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fflush(to);
}

}  // namespace kivo
