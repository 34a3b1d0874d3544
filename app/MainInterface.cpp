// The main window and its wiring; the application main.
#include "app/MainInterface.h"

#include "app/LoadingDataViewController.h"
#include "app/QtMainThread.h"
#include "app/ResultsView.h"
#include "platform/bundle/Bundle.h"
#include "platform/instance/SingleInstance.h"
#include "ui_MainWindow.h"
#include "ui_StartScreen.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QPointer>

#include <filesystem>
#include <optional>

namespace lumsift::app {
namespace {

// The bundle identifier when Info.plist gives none: it names the desktop entry, the icon and the
// instance.
constexpr const char* kIdentifier = "org.lumsift.Lumsift";

std::unique_ptr<QWidget> makeStartScreen(const std::shared_ptr<LumsiftAppDelegate>& delegate) {
    auto view = std::make_unique<QWidget>();
    Ui::StartScreen ui;
    ui.setupUi(view.get());
    // The check box is bound to the process-wide skip value.
    ui.skipStartScreenCheckBox->setChecked(LumsiftAppDelegate::skipStartScreen());
    QObject::connect(ui.skipStartScreenCheckBox, &QCheckBox::toggled, view.get(),
                     [](bool skip) { LumsiftAppDelegate::setSkipStartScreen(skip); });
    QObject::connect(ui.moreInfoButton, &QPushButton::clicked, view.get(),
                     [delegate] { delegate->moreInfoButton(); });
    return view;
}

// Lets the main window close only when the delegate says it may.
class CloseGuard final : public QObject {
public:
    CloseGuard(std::weak_ptr<LumsiftAppDelegate> delegate, QObject* parent)
        : QObject(parent), delegate_(std::move(delegate)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Close)
            return QObject::eventFilter(watched, event);
        const auto delegate = delegate_.lock();
        if (delegate && !delegate->windowShouldClose()) {
            event->ignore();
            return true;
        }
        return false;
    }

private:
    std::weak_ptr<LumsiftAppDelegate> delegate_;
};

std::unique_ptr<QWidget> makeResultsView() {
    auto view = std::make_unique<ResultsView>();
    view->awakeFromNib();
    return view;
}

} // namespace

QIcon applicationIcon(const Bundle& bundle) {
    const std::string identifier = bundle.infoString("CFBundleIdentifier").value_or(kIdentifier);
    QIcon icon;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(bundle.resourcePath() / "icons/hicolor", ec), end;
         !ec && it != end; it.increment(ec)) {
        const auto png = it->path() / "apps" / (identifier + ".png");
        if (std::filesystem::exists(png, ec))
            icon.addFile(QString::fromStdString(png.string()));
    }
    return icon;
}

MainInterface loadMainInterface() {
    if (const QIcon icon = applicationIcon(Bundle::main()); !icon.isNull())
        QApplication::setWindowIcon(icon);
    MainInterface interface;
    interface.window = std::make_unique<QMainWindow>();
    interface.delegate = std::make_shared<LumsiftAppDelegate>();
    QMainWindow* window = interface.window.get();
    const std::shared_ptr<LumsiftAppDelegate>& delegate = interface.delegate;

    Ui::MainWindow ui;
    ui.setupUi(window);

    delegate->setWindow(window);
    delegate->setBox(ui.box);
    delegate->setNextButton(ui.nextButton);
    delegate->setSelectedLabel(ui.selectedLabel);
    delegate->setStartScreenViewController(
        new ViewController([delegate] { return makeStartScreen(delegate); }, window));
    delegate->setLoadingDataViewController(new LoadingDataViewController(window));
    delegate->setResultsViewController(new ViewController(makeResultsView, window));

    // Each connection ends with its widget; the lambdas hold the delegate until then.
    QObject::connect(ui.nextButton, &QPushButton::clicked, window,
                     [delegate] { delegate->nextView(); });
    QObject::connect(ui.actionLumsiftWebpage, &QAction::triggered, window,
                     [delegate] { delegate->lumsiftWebpage(); });
    QObject::connect(ui.actionMoreInfo, &QAction::triggered, window,
                     [delegate] { delegate->moreInfoButton(); });
    QObject::connect(ui.actionTechSupport, &QAction::triggered, window,
                     [delegate] { delegate->techSupport(); });
    // Quitting closes the main window first, which asks while a run is underway.
    window->installEventFilter(new CloseGuard(delegate, window));
    QObject::connect(ui.actionQuit, &QAction::triggered, window, [window] {
        if (window->close())
            QApplication::quit();
    });
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, window,
                     [delegate](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive)
                             delegate->applicationDidBecomeActive();
                     });
    return interface;
}

void bringToFront(QWidget& window) {
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.activateWindow();
}

int applicationMain(int argc, char** argv) {
    QApplication application(argc, argv);
    // The name only: a display name would be appended to every window's title by the platform.
    const std::string name = Bundle::main().infoString("CFBundleName").value_or("Lumsift");
    const std::string identifier =
        Bundle::main().infoString("CFBundleIdentifier").value_or(kIdentifier);
    QApplication::setApplicationName(QString::fromStdString(name));
    // The desktop entry's name: task bars match the window to the entry and its icon.
    QGuiApplication::setDesktopFileName(QString::fromStdString(identifier));

    // One instance per user: a later start brings this one's window forward and ends, so two
    // processes never work on the same library side by side.
    // Without a place of the user's own for it (logged), it runs without that check.
    QPointer<QMainWindow> shownWindow;
    std::optional<instance::SingleInstance> single;
    if (const auto path = instance::instancePath(identifier)) {
        switch (single.emplace(*path).start([&shownWindow] {
            if (shownWindow)
                bringToFront(*shownWindow);
        })) {
        case instance::Role::primary:
            break;
        case instance::Role::secondary:
            return 0;
        case instance::Role::unanswered:
            return 1;
        }
    }
    setMainThread(std::make_shared<QtMainThread>());

    MainInterface interface = loadMainInterface();
    shownWindow = interface.window.get();
    interface.window->show();
    interface.delegate->applicationDidFinishLaunching();
    const int status = QApplication::exec();
    // The window goes before the application object does.
    interface.window.reset();
    return status;
}

} // namespace lumsift::app
