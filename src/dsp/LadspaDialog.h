#pragma once

#include <QDialog>
#include <functional>
#include <vector>

namespace qvm {

class LadspaEffect;

// The generic configuration dialog of a LADSPA plug-in: one row per input
// control port (a check box for a switch, otherwise a slider with a number
// box within the port's bounds), a button that restores the defaults, OK and
// Cancel. Changes are heard at once, so the operator can set them by ear;
// Cancel puts the values back as they were when the dialog opened.
class LadspaDialog final : public QDialog {
    Q_OBJECT
  public:
    LadspaDialog(LadspaEffect& effect, const QString& name, QWidget* parent = nullptr);

    void restoreDefaults();
    void reject() override;

  private:
    LadspaEffect& m_effect;
    std::vector<float> m_opened;                  // the values when the dialog opened
    std::vector<std::function<void()>> m_reload;  // shows the effect's values again
};

}  // namespace qvm
