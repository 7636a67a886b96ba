#include "services/com.h"

Com::Com() = default;
Com::~Com() = default;
bool Com::GetStatusCom() { return false; }
