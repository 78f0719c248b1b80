#include "ui/MainInterface.h"

#include "ui/SlidingDrawer.h"
#include "ui_CustomRangeDialog.h"
#include "ui_HelpWindow.h"
#include "ui_MainWindow.h"
#include "ui_PreferencesWindow.h"
#include "ui_PriorityDrawer.h"

namespace quellbox {

MainInterface::MainInterface()
    : customRangeWindow_(&mainWindow_),
      main_(std::make_unique<Ui::QuellboxMainWindow>()),
      help_(std::make_unique<Ui::QuellboxHelpWindow>()),
      customRange_(std::make_unique<Ui::QuellboxCustomRangeDialog>()),
      drawer_(std::make_unique<Ui::QuellboxPriorityDrawer>()),
      preferences_(std::make_unique<Ui::QuellboxPreferencesWindow>()) {
    main_->setupUi(&mainWindow_);
    help_->setupUi(&helpWindow_);
    customRange_->setupUi(&customRangeWindow_);
    // The drawer's contents belong to the drawer panel, which deletes them with the window.
    auto* drawerContents = new QWidget;
    drawer_->setupUi(drawerContents);
    main_->priorityDrawer->setContents(drawerContents);
    preferences_->setupUi(&prefWindow_);
}

MainInterface::~MainInterface() = default;

}  // namespace quellbox
