#pragma once

#include <QObject>
#include <functional>

class QButtonGroup;
class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quellbox {

class EngineControls;
class FloatSlider;
class MainInterface;
class Preferences;
class Presenter;

// The rate controls: the upload slider, its field and the connection type menu (whose
// custom type runs the custom range dialog), and the download pause slider. Every change
// goes to the engine and to the settings.
class RangeController : public QObject {
    Q_OBJECT

public:
    // The connection types' ranges in KB/s, fastest first; item 7 is the custom range.
    struct Range {
        float minimum;
        float maximum;
        float defaultRate;
    };
    static constexpr int kCustomItem = 7;
    static Range rangeForConnectionType(int item);

    struct Collaborators {
        MainInterface& interface;
        std::function<EngineControls&()> engine;
        Preferences& preferences;
        Presenter& presenter;
    };

    explicit RangeController(Collaborators collaborators);

    void awakeFromNib();

    // Actions.
    void ULRangePopUpHasChanged();
    void sliderULHasChanged();
    void setULValue();
    void sliderDLHasChanged();
    void OK();
    void cancel();

    float DATARate() const { return DATARate_; }
    float ACKPause() const { return ACKPause_; }

private:
    // Shows the stored range and its default rate and hands the rate on.
    void applyStoredRange();
    void showDATARate();
    void passDATARate();

    std::function<EngineControls&()> engineMaker_;
    Preferences& preferences_;
    Presenter& presenter_;

    // Outlets.
    QComboBox* ULRangePopUp;
    QLineEdit* DLThroughputTF;
    QLineEdit* ULThroughputTF;
    FloatSlider* sliderUL;
    FloatSlider* sliderDL;
    QLabel* rangeDLmin;
    QLabel* rangeDLmax;
    QLabel* rangeULmin;
    QLabel* rangeULmax;
    QPushButton* OKButton;
    QPushButton* cancelButton;
    QLineEdit* toBWForm;
    QLineEdit* fromBWForm;
    QButtonGroup* unitsMatrice;
    QDialog* customRangeWIndow;

    EngineControls* throughputLimiter = nullptr;
    float DATARate_ = 0.0F;
    float ACKPause_ = 0.0F;
};

}  // namespace quellbox
