// A PKCS#11 module for tests that passes every call to SoftHSM2 and, on
// request, makes chosen calls fail or shows the public point the way some
// tokens write it. SoftHSM2 never locks a PIN, cannot be pulled out of its
// slot, and writes CKA_EC_POINT in one form only; through this module a
// test reaches each of those cases on a real token.
//
// Read from the environment at each call:
//   ZDZ_PKCS11_SHIM_FAIL=C_Login=0xa4      C_Login returns CKR_PIN_LOCKED
//   ZDZ_PKCS11_SHIM_FAIL=C_Sign=0x32@2     C_Sign works once, then returns
//                                          CKR_DEVICE_REMOVED from its 2nd
//                                          call since C_Initialize on
//   ZDZ_PKCS11_SHIM_RAW_EC_POINT=1         CKA_EC_POINT as the bare 32 bytes
// The functions that can be made to fail are those listed in `shim_*` below.

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>
#include <string.h>

#define SOFTHSM2_MODULE "/usr/lib/softhsm/libsofthsm2.so"

static void* real_handle;
static CK_FUNCTION_LIST_PTR real;
static CK_FUNCTION_LIST shim;

enum { CALL_LOGIN, CALL_SIGN, CALL_SIGN_INIT, CALL_FIND_INIT, CALL_OPEN_SESSION, CALL_COUNT };
static const char* const call_names[CALL_COUNT] = {"C_Login", "C_Sign", "C_SignInit",
                                                   "C_FindObjectsInit", "C_OpenSession"};
static unsigned long calls[CALL_COUNT];

// The return value the environment asks `call` to fail with this time, or
// CKR_OK to pass it on.
static CK_RV injected(int call) {
    const char* request = getenv("ZDZ_PKCS11_SHIM_FAIL");
    const char* name = call_names[call];
    const size_t length = strlen(name);
    calls[call]++;
    if (request == NULL || strncmp(request, name, length) != 0 || request[length] != '=') {
        return CKR_OK;
    }
    char* end = NULL;
    const CK_RV rv = strtoul(request + length + 1, &end, 0);
    const unsigned long from = (end != NULL && *end == '@') ? strtoul(end + 1, NULL, 10) : 1;
    return calls[call] >= from ? rv : CKR_OK;
}

static CK_RV shim_initialize(void* args) {
    memset(calls, 0, sizeof calls);
    return real->C_Initialize(args);
}

static CK_RV shim_login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
                        CK_ULONG pin_len) {
    const CK_RV rv = injected(CALL_LOGIN);
    return rv != CKR_OK ? rv : real->C_Login(session, user, pin, pin_len);
}

static CK_RV shim_sign_init(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                            CK_OBJECT_HANDLE key) {
    const CK_RV rv = injected(CALL_SIGN_INIT);
    return rv != CKR_OK ? rv : real->C_SignInit(session, mechanism, key);
}

static CK_RV shim_sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG data_len,
                       CK_BYTE_PTR signature, CK_ULONG_PTR signature_len) {
    const CK_RV rv = injected(CALL_SIGN);
    if (rv != CKR_OK) {
        // The operation ends with the failure, as it would on the token.
        CK_BYTE scratch[64];
        CK_ULONG scratch_len = sizeof scratch;
        real->C_Sign(session, data, data_len, scratch, &scratch_len);
        return rv;
    }
    return real->C_Sign(session, data, data_len, signature, signature_len);
}

static CK_RV shim_find_objects_init(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ,
                                    CK_ULONG count) {
    const CK_RV rv = injected(CALL_FIND_INIT);
    return rv != CKR_OK ? rv : real->C_FindObjectsInit(session, templ, count);
}

static CK_RV shim_open_session(CK_SLOT_ID slot, CK_FLAGS flags, void* application,
                               CK_NOTIFY notify, CK_SESSION_HANDLE_PTR session) {
    const CK_RV rv = injected(CALL_OPEN_SESSION);
    return rv != CKR_OK ? rv : real->C_OpenSession(slot, flags, application, notify, session);
}

static CK_RV shim_get_attribute_value(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                      CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    const CK_RV rv = real->C_GetAttributeValue(session, object, templ, count);
    const char* raw = getenv("ZDZ_PKCS11_SHIM_RAW_EC_POINT");
    if (rv != CKR_OK || raw == NULL || strcmp(raw, "1") != 0) {
        return rv;
    }
    for (CK_ULONG i = 0; i < count; i++) {
        CK_BYTE* value = templ[i].pValue;
        if (templ[i].type == CKA_EC_POINT && value != NULL && templ[i].ulValueLen == 34 &&
            value[0] == 0x04 && value[1] == 32) {
            memmove(value, value + 2, 32);
            templ[i].ulValueLen = 32;
        }
    }
    return rv;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (real == NULL) {
        const char* target = getenv("ZDZ_PKCS11_SHIM_TARGET");
        real_handle = dlopen(target != NULL ? target : SOFTHSM2_MODULE, RTLD_NOW | RTLD_LOCAL);
        CK_C_GetFunctionList get =
            real_handle != NULL ? (CK_C_GetFunctionList)dlsym(real_handle, "C_GetFunctionList")
                                : NULL;
        if (get == NULL || get(&real) != CKR_OK) {
            return CKR_GENERAL_ERROR;
        }
        shim = *real;
        shim.C_Initialize = shim_initialize;
        shim.C_Login = shim_login;
        shim.C_SignInit = shim_sign_init;
        shim.C_Sign = shim_sign;
        shim.C_FindObjectsInit = shim_find_objects_init;
        shim.C_OpenSession = shim_open_session;
        shim.C_GetAttributeValue = shim_get_attribute_value;
    }
    *list = &shim;
    return CKR_OK;
}

__attribute__((destructor)) static void unload_real_module(void) {
    if (real_handle != NULL) {
        dlclose(real_handle);
    }
}
