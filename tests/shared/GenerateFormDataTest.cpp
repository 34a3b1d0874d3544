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
QByteArray textPart(const QByteArray& name, const QByteArray& value) {
    return "--B\r\nContent-Disposition: form-data; name=\"" + name +
           "\"\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + value + "\r\n";
}
QByteArray filePart(const QByteArray& fileName, const QByteArray& bytes) {
    return "--B\r\nContent-Disposition: form-data; name=\"crashLog\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n";
}
QUrl fileUrl(const std::filesystem::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

// In key order; a value holding line breaks and the boundary, an empty one, false; a file that
// cannot be read; the empty form.
TEST(GenerateFormData, FormsByteForByteInKeyOrder) {
    testimages::TempDir folder;
    const QByteArray log("crash\0log\r\n", 11);
    test::writeBytes(folder / "logs/Lumsift_1.crash", log.toStdString());
    EXPECT_EQ(body({{"comments", QStringLiteral("Hi")},
                    {"crashLog", fileUrl(folder / "logs/Lumsift_1.crash")},
                    {"CPUFamily", qlonglong(-2147483647)},
                    {"systemInformationIncluded", true}}),
              textPart("CPUFamily", "-2147483647") + textPart("comments", "Hi") +
                  filePart("Lumsift_1.crash", log) + textPart("systemInformationIncluded", "1") +
                  "--B--\r\n");
    const QString value = QStringLiteral("Grüße\r\n--B\r\n ");
    EXPECT_EQ(body({{"v", value}}), textPart("v", value.toUtf8()) + "--B--\r\n");
    EXPECT_EQ(body({{"v", QString()}}), textPart("v", "") + "--B--\r\n");
    EXPECT_EQ(body({{"v", false}}), textPart("v", "0") + "--B--\r\n");
    EXPECT_EQ(body({{"crashLog", fileUrl("/nonexistent/dir/x.crash")}}),
              filePart("x.crash", "") + "--B--\r\n");
    EXPECT_EQ(body({}), QByteArray("--B--\r\n"));
}

// Every width of integer, signed and unsigned, at its extremes: decimal text, never a character;
// a float as the shortest text that reads back as it.
TEST(GenerateFormData, NumbersOfEveryTypeAsDecimalText) {
    const struct {
        QVariant value;
        QByteArray text;
    } rows[] = {
        {QVariant::fromValue<char>(65), "65"},
        {QVariant::fromValue<signed char>(-128), "-128"},
        {QVariant::fromValue<unsigned char>(200), "200"},
        {QVariant::fromValue<short>(-32768), "-32768"},
        {QVariant::fromValue<unsigned short>(65535), "65535"},
        {QVariant::fromValue<int>(-2147483647 - 1), "-2147483648"},
        {QVariant::fromValue<unsigned>(4294967295u), "4294967295"},
        {QVariant::fromValue<long>(-9223372036854775807L - 1), "-9223372036854775808"},
        {QVariant::fromValue<unsigned long>(18446744073709551615UL), "18446744073709551615"},
        {QVariant::fromValue<qlonglong>(-9223372036854775807LL - 1), "-9223372036854775808"},
        {QVariant::fromValue<qulonglong>(18446744073709551615ULL), "18446744073709551615"},
        {QVariant::fromValue<float>(0.1f), "0.1"},
        {QVariant::fromValue<double>(-2.5), "-2.5"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(body({{"n", row.value}}).toStdString(),
                  (textPart("n", row.text) + "--B--\r\n").toStdString())
            << row.value.typeName();
}

// A name from the file system must not be able to end the quoted name or the header line.
TEST(GenerateFormData, QuotesAndLineBreaksInNamesAreEscaped) {
    testimages::TempDir folder;
    const auto file = folder / "a\"b\r\nX-Injected: 1.crash";
    test::writeBytes(file, "log");
    const QByteArray result =
        body({{"na\"me\r\n", QStringLiteral("v")}, {"crashLog", fileUrl(file)}});
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
