#include "progress_bar.h"

#include "runtime_error.h"

namespace {
// The widget's integer range; fine enough that the minimum reads as empty.
constexpr int Steps = 1000000;
}

ProgressBarControl::ProgressBarControl(QWidget *parent) : QProgressBar(parent)
{
    setRange(0, Steps);
    setValue(0);
    setTextVisible(false);
}

void ProgressBarControl::setBarValue(float value)
{
    if (!(value >= Minimum && value <= Maximum)) {
        throw RuntimeError(ErrorNumber::InvalidPropertyValue,
                           QStringLiteral("Invalid property value: %1").arg(value));
    }
    if (value == m_value) {
        // Set once per chunk: only a change is worth a repaint.
        return;
    }
    m_value = value;
    setValue(static_cast<int>(value / Maximum * Steps));
    // setValue repaints only the steps it judges visible, and over this range
    // it judged none until the bar was full; a plain update is coalesced.
    update();
}

void ProgressBarControl::empty()
{
    m_value = Minimum;
    setValue(0);
    update();
}
