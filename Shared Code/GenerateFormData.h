// The body of a multipart/form-data request (RFC 7578) made from a dictionary of form fields.
#pragma once

#include <QByteArray>
#include <QVariantMap>

#include <string_view>

namespace lumsift {

// Field name -> value. The value is a string (QString), a number (any integral or floating type,
// bool included) or a local file URL (QUrl). QVariantMap keeps its keys sorted: that sorted order
// is the order in which the parts appear in the body, and it carries no meaning.
using KTWFormValues = QVariantMap;

// The whole body: for each field a delimiter line "--<boundary>", its header lines, an empty
// line, its content and CR LF; then "--<boundary>--" CR LF. A string is sent as UTF-8, a number
// as its decimal text (a bool as 1 or 0), a file URL as a file part named by the file's last path
// component with the file's bytes (no bytes when it cannot be read). `"`, CR and LF in a field
// name or file name are written as %22, %0D and %0A so they cannot break the header line; values
// are copied unchanged. A value of another kind, or a URL that is not a file URL, is left out
// with a log line. `formValues` is borrowed and must not be null (throws
// InvalidParameterException "nil != formValues"); `boundary` (ASCII) must not be a null view
// (throws "nil != boundary"). The caller owns the result.
QByteArray GenerateFormData(const KTWFormValues* formValues, std::string_view boundary);

} // namespace lumsift
