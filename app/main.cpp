// vinzal: the address book. Its start-up object is the contact card, Form1.
#include "application.h"
#include "form1.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    vinzal::Form1 form1;
    form1.show();
    return app.exec();
}
