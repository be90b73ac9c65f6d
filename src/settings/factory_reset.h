// Factory reset: removing settings files so that their readers recreate them
// with factory values.
#pragma once

int FactoryReset();
int ResetNetworkFile();
