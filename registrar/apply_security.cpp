// The program applies access lists directly; tests link a version that records each call.
#include "registrar/registrar.h"

namespace velmora {

DWORD ApplySecurity(HANDLE handle, SECURITY_INFORMATION information, PSID owner, PACL dacl) {
    return SetSecurityThroughHandle(handle, information, owner, dacl);
}

}  // namespace velmora
