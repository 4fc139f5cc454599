#ifndef CHECKFAILURENOTICE_H
#define CHECKFAILURENOTICE_H

// The window's answer to a failed firmware check, whatever its reason: the
// one notice that asks the user to check the internet connection, and once
// it is closed, the request to quit. The reason itself is left to the debug
// output.
void showCheckFailureNotice();

#endif // CHECKFAILURENOTICE_H
