#include "ui/MainInterface.h"

#include "ui_CustomRangeDialog.h"
#include "ui_HelpWindow.h"
#include "ui_MainWindow.h"

namespace quellbox {

MainInterface::MainInterface()
    : customRangeWindow_(&mainWindow_),
      main_(std::make_unique<Ui::QuellboxMainWindow>()),
      help_(std::make_unique<Ui::QuellboxHelpWindow>()),
      customRange_(std::make_unique<Ui::QuellboxCustomRangeDialog>()) {
    main_->setupUi(&mainWindow_);
    help_->setupUi(&helpWindow_);
    customRange_->setupUi(&customRangeWindow_);
}

MainInterface::~MainInterface() = default;

}  // namespace quellbox
