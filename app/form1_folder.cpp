#include "form1.h"

void Form1::ButtonFolder_Click() {}
