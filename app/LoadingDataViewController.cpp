// The loading page's controller.
#include "app/LoadingDataViewController.h"

namespace lumsift::app {

LoadingDataViewController::LoadingDataViewController(QObject* parent)
    : ViewController(
          [] {
              auto view = std::make_unique<LoadingDataView>();
              view->awakeFromNib();
              return std::unique_ptr<QWidget>(std::move(view));
          },
          parent) {}

LoadingDataView* LoadingDataViewController::loadingDataView() {
    return static_cast<LoadingDataView*>(view());
}

} // namespace lumsift::app
