#include "app/MyButton.h"

const char* const MyButton::kHoverStyle =
    "QPushButton{background-color:transparent;color:red;font-family:SimSun;border:0px;margin-left:15px}";
const char* const MyButton::kNormalStyle =
    "QPushButton{background-color:transparent;color:white;font-family:SimSun;border:0px;margin-left:15px}";

MyButton::MyButton(const QIcon& icon, const QString& text, QWidget* parent) : QPushButton(icon, text, parent)
{
    setMouseTracking(true);
}

void MyButton::enterEvent(QEvent* event)
{
    // A disabled command must not look clickable.
    if (isEnabled())
        setStyleSheet(kHoverStyle);
    QPushButton::enterEvent(event);
}

void MyButton::leaveEvent(QEvent* event)
{
    setStyleSheet(kNormalStyle);
    QPushButton::leaveEvent(event);
}
