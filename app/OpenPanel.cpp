// The open panel over a non-native QFileDialog that takes library packages as single items.
#include "app/OpenPanel.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QStringList>

#include <mutex>

namespace lumsift::app {
namespace {

std::mutex& runnerMutex() {
    static std::mutex mutex;
    return mutex;
}

OpenPanel::Runner& runnerSlot() {
    static OpenPanel::Runner runner;
    return runner;
}

// A file dialog that chooses a package folder (or, where allowed, any folder) as one item
// instead of entering it, and files only where allowed.
class PanelDialog final : public QFileDialog {
public:
    PanelDialog(QWidget* parent, const OpenPanel& panel) : QFileDialog(parent), panel_(panel) {
        setOption(QFileDialog::DontUseNativeDialog);
        setFileMode(panel.canChooseFiles() ? QFileDialog::ExistingFile : QFileDialog::Directory);
        setAcceptMode(QFileDialog::AcceptOpen);
        if (!panel.allowedFileTypes().empty()) {
            QStringList patterns;
            for (const std::string& type : panel.allowedFileTypes())
                patterns << QStringLiteral("*.") + QString::fromStdString(type);
            setNameFilter(tr("Photo libraries (%1)").arg(patterns.join(QLatin1Char(' '))));
        }
        // Opening a package (double click) chooses it instead of showing its insides.
        connect(this, &QFileDialog::directoryEntered, this, [this](const QString& directory) {
            const QFileInfo info(directory);
            if (!isPackage(info))
                return;
            chosen_ = info.absoluteFilePath();
            QDialog::accept();
        });
    }

    const QString& chosen() const { return chosen_; }

    void accept() override {
        const QStringList files = selectedFiles();
        if (files.isEmpty())
            return;
        const QFileInfo info(files.first());
        if (info.isDir() && !choosable(info)) {
            QFileDialog::accept(); // enters the folder
            return;
        }
        if (!choosable(info))
            return;
        chosen_ = info.absoluteFilePath();
        QDialog::accept();
    }

private:
    // A folder of an allowed type in a panel that takes files: one item, like a file.
    bool isPackage(const QFileInfo& info) const {
        return info.isDir() && panel_.canChooseFiles() && !panel_.allowedFileTypes().empty() &&
               OpenPanel::hasAllowedType(info.absoluteFilePath().toStdString(),
                                         panel_.allowedFileTypes());
    }

    bool choosable(const QFileInfo& info) const {
        if (!info.exists())
            return false;
        if (isPackage(info))
            return true;
        if (info.isDir())
            return panel_.canChooseDirectories();
        return panel_.canChooseFiles() &&
               (panel_.allowedFileTypes().empty() ||
                OpenPanel::hasAllowedType(info.absoluteFilePath().toStdString(),
                                          panel_.allowedFileTypes()));
    }

    const OpenPanel& panel_;
    QString chosen_;
};

} // namespace

void OpenPanel::setRunnerForTesting(Runner runner) {
    std::lock_guard lock(runnerMutex());
    runnerSlot() = std::move(runner);
}

bool OpenPanel::hasAllowedType(const std::filesystem::path& path,
                               const std::vector<std::string>& types) {
    std::string suffix = path.extension().string();
    if (suffix.empty() && path.has_parent_path() && !path.has_filename())
        suffix = path.parent_path().extension().string(); // "Lib.aplibrary/"
    if (suffix.size() < 2)
        return false;
    const QString extension = QString::fromStdString(suffix.substr(1));
    for (const std::string& type : types) {
        if (extension.compare(QString::fromStdString(type), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

int OpenPanel::runModal() {
    URLs_.clear();
    Runner runner;
    {
        std::lock_guard lock(runnerMutex());
        runner = runnerSlot();
    }
    if (!runner)
        return runDialog();
    std::vector<std::filesystem::path> URLs;
    const int response = runner(*this, URLs);
    if (response == kResponseOK)
        URLs_ = std::move(URLs);
    return response;
}

int OpenPanel::runDialog() {
    PanelDialog dialog(parent_.data(), *this);
    dialog.setWindowTitle(QString::fromStdString(title_));
    if (!directoryURL_.empty())
        dialog.setDirectory(QString::fromStdString(directoryURL_.string()));
    if (!message_.empty()) {
        // The file dialog has no message area: the message goes below its own rows.
        if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
            auto* label = new QLabel(QString::fromStdString(message_), &dialog);
            label->setTextFormat(Qt::PlainText);
            label->setWordWrap(true);
            grid->addWidget(label, grid->rowCount(), 0, 1, grid->columnCount());
        }
    }
    if (dialog.exec() != QDialog::Accepted || dialog.chosen().isEmpty())
        return kResponseCancel;
    URLs_.push_back(dialog.chosen().toStdString());
    return kResponseOK;
}

} // namespace lumsift::app
