// The multipart/form-data body.
#include "Shared Code/GenerateFormData.h"

#include "Shared Code/KTWExceptions.h"
#include "platform/log/Log.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <charconv>
#include <iterator>
#include <optional>

namespace lumsift {
namespace {

// A name inside a quoted header parameter: the quote and line breaks are percent-escaped, as
// browsers do, so that a name from the file system cannot end the line or the quoted text.
QByteArray headerName(const QString& name) {
    QByteArray escaped;
    for (const char c : name.toUtf8()) {
        if (c == '"')
            escaped += "%22";
        else if (c == '\r')
            escaped += "%0D";
        else if (c == '\n')
            escaped += "%0A";
        else
            escaped += c;
    }
    return escaped;
}

// The shortest text that reads back as `number` in its own type.
template <typename Floating> QByteArray shortestText(Floating number) {
    char text[32];
    const auto end = std::to_chars(std::begin(text), std::end(text), number).ptr;
    return QByteArray(text, static_cast<qsizetype>(end - text));
}

// The decimal text of a number: integers of every width, the one-byte ones included, as their
// value (QVariant itself turns those into characters); a float as the shortest text that reads
// back as it (QVariant would widen it to double first); a bool as 1 or 0. nullopt when `value` is
// no number.
std::optional<QByteArray> numberText(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return QByteArray(value.toBool() ? "1" : "0");
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return QByteArray::number(value.toLongLong());
    case QMetaType::UChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return QByteArray::number(value.toULongLong());
    case QMetaType::Float:
        return shortestText(value.toFloat());
    case QMetaType::Double:
        return shortestText(value.toDouble());
    default:
        return std::nullopt;
    }
}

// The Content-Disposition line up to the closing quote of the field's name.
QByteArray disposition(const QString& name) {
    return "Content-Disposition: form-data; name=\"" + headerName(name) + "\"";
}

QByteArray textPartHeader(const QString& name) {
    return disposition(name) + "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
}

QByteArray filePart(const QString& name, const QUrl& url) {
    const QString path = url.toLocalFile();
    QByteArray part = disposition(name) + "; filename=\"" + headerName(QFileInfo(path).fileName()) +
                      "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        part += file.readAll();
    return part;
}

} // namespace

QByteArray GenerateFormData(const KTWFormValues* formValues, std::string_view boundary) {
    requireParameter(formValues != nullptr, "nil != formValues");
    requireParameter(boundary.data() != nullptr, "nil != boundary");
    const QByteArray delimiter =
        "--" + QByteArray(boundary.data(), static_cast<qsizetype>(boundary.size()));

    QByteArray body;
    for (auto it = formValues->cbegin(); it != formValues->cend(); ++it) {
        const QVariant& value = it.value();
        QByteArray part;
        if (value.typeId() == QMetaType::QString) {
            part = textPartHeader(it.key()) + value.toString().toUtf8();
        } else if (const auto number = numberText(value)) {
            part = textPartHeader(it.key()) + *number;
        } else if (value.typeId() == QMetaType::QUrl && value.toUrl().isLocalFile()) {
            part = filePart(it.key(), value.toUrl());
        } else {
            const char* className = value.typeName();
            log::line("KTWCrashReporterError: formValues contained illegal object " +
                      value.toString().toStdString() + " of class " +
                      (className != nullptr ? className : "nil"));
            continue;
        }
        body += delimiter + "\r\n" + part + "\r\n";
    }
    body += delimiter + "--\r\n";
    return body;
}

} // namespace lumsift
