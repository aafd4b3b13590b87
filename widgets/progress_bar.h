#pragma once

#include <QProgressBar>

// A progress bar over the range 0.0001 to 100 that refuses values outside it
// with a RuntimeError, so that a 0 % value leaves it as it was.
class ProgressBarControl final : public QProgressBar
{
    Q_OBJECT

public:
    static constexpr double Minimum = 0.0001;
    static constexpr double Maximum = 100.0;

    explicit ProgressBarControl(QWidget *parent = nullptr);

    void setBarValue(float value);
    // Back to the empty bar, which no value in the range can set.
    void empty();
    float barValue() const { return m_value; }

private:
    float m_value = Minimum;
};
