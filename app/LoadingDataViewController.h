// The loading page's controller: makes the LoadingDataView (and wakes it) on first request.
#pragma once

#include "app/LoadingDataView.h"
#include "app/ViewController.h"

namespace lumsift::app {

class LoadingDataViewController final : public ViewController {
    Q_OBJECT
public:
    // `parent` (borrowed) owns the controller.
    explicit LoadingDataViewController(QObject* parent = nullptr);

    // The page, made and woken on the first call (as view()).
    LoadingDataView* loadingDataView();
};

} // namespace lumsift::app
