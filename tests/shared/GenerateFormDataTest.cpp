// The multipart/form-data body: its exact bytes, the kinds of value, and names that could break
// a header line.
#include "Shared Code/GenerateFormData.h"

#include "CrashReporterTestSupport.h"
#include "platform/log/Log.h"

#include <QDate>
#include <QUrl>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

QByteArray body(const KTWFormValues& form) {
    return GenerateFormData(&form, "B");
}

TEST(GenerateFormData, SmallFormByteForByteInKeyOrder) {
    test::ScratchFolder folder;
    test::writeFile(folder.path() / "logs" / "Lumsift_1.crash", std::string("crash\0log\r\n", 11));
    const KTWFormValues form = {
        {"comments", QStringLiteral("Hi")},
        {"crashLog", QUrl::fromLocalFile(QString::fromStdString(
                         (folder.path() / "logs" / "Lumsift_1.crash").string()))},
        {"CPUFamily", qlonglong(-2147483647)},
        {"systemInformationIncluded", true},
    };
    const QByteArray expected =
        "--B\r\n"
        "Content-Disposition: form-data; name=\"CPUFamily\"\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "\r\n"
        "-2147483647\r\n"
        "--B\r\n"
        "Content-Disposition: form-data; name=\"comments\"\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "\r\n"
        "Hi\r\n"
        "--B\r\n"
        "Content-Disposition: form-data; name=\"crashLog\"; "
        "filename=\"Lumsift_1.crash\"\r\n"
        "Content-Type: application/octet-stream\r\n"
        "\r\n" +
        QByteArray("crash\0log\r\n", 11) +
        "\r\n"
        "--B\r\n"
        "Content-Disposition: form-data; name=\"systemInformationIncluded\"\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "\r\n"
        "1\r\n"
        "--B--\r\n";
    EXPECT_EQ(body(form), expected);
}

// The empty form; a value holding line breaks and the boundary, an empty one, false; a file that
// cannot be read.
TEST(GenerateFormData, EdgeValuesByteForByte) {
    const QByteArray text = "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    const QString value = QStringLiteral("Grüße\r\n--B\r\n ");
    EXPECT_EQ(body({}), QByteArray("--B--\r\n"));
    EXPECT_EQ(body({{"v", value}}), "--B\r\nContent-Disposition: form-data; name=\"v\"\r\n" + text +
                                        value.toUtf8() + "\r\n--B--\r\n");
    EXPECT_TRUE(body({{"v", QString()}}).endsWith(text + "\r\n--B--\r\n"));
    EXPECT_TRUE(body({{"v", false}}).endsWith(text + "0\r\n--B--\r\n"));
    EXPECT_EQ(body({{"crashLog", QUrl::fromLocalFile(QStringLiteral("/nonexistent/dir/x.crash"))}}),
              QByteArray("--B\r\nContent-Disposition: form-data; name=\"crashLog\"; "
                         "filename=\"x.crash\"\r\nContent-Type: application/octet-stream"
                         "\r\n\r\n\r\n--B--\r\n"));
}

// A name from the file system must not be able to end the quoted name or the header line.
TEST(GenerateFormData, QuotesAndLineBreaksInNamesAreEscaped) {
    test::ScratchFolder folder;
    const auto file = folder.path() / "a\"b\r\nX-Injected: 1.crash";
    test::writeFile(file, "log");
    const QByteArray result = body({
        {"na\"me\r\n", QStringLiteral("v")},
        {"crashLog", QUrl::fromLocalFile(QString::fromStdString(file.string()))},
    });
    EXPECT_TRUE(
        result.contains("name=\"crashLog\"; filename=\"a%22b%0D%0AX-Injected: 1.crash\"\r\n"));
    EXPECT_TRUE(result.contains("name=\"na%22me%0D%0A\"\r\n"));
    EXPECT_FALSE(result.contains("\r\nX-Injected"));
}

TEST(GenerateFormData, OtherKindsAreLeftOutWithALogLine) {
    log::Capture capture;
    const QByteArray result = body({
        {"a", QStringLiteral("kept")},
        {"web", QUrl(QStringLiteral("https://example.com/x"))},
        {"when", QDate(2024, 1, 2)},
    });
    EXPECT_EQ(result, body({{"a", QStringLiteral("kept")}}));
    EXPECT_TRUE(capture.contains("KTWCrashReporterError: formValues contained illegal object "
                                 "https://example.com/x of class QUrl"));
    EXPECT_TRUE(capture.contains(
        "KTWCrashReporterError: formValues contained illegal object 2024-01-02 of class QDate"));
}

TEST(GenerateFormData, NilParametersBreakTheContractFormValuesFirst) {
    const KTWFormValues form;
    EXPECT_EQ(test::brokenCondition([] { GenerateFormData(nullptr, std::string_view()); }),
              "nil != formValues");
    EXPECT_EQ(test::brokenCondition([&] { GenerateFormData(&form, std::string_view()); }),
              "nil != boundary");
}

} // namespace
} // namespace lumsift
