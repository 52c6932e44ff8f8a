// The control's interface ISGN and the fixed identities of its type library, interface and class,
// as the interface compiler would declare them.
#pragma once

#include <oaidl.h>

// {D2911ABE-D366-4745-9C65-4ECFD7182A7E}
const GUID LIBID_QXMERIDIACONTROLLib = {
    0xD2911ABE, 0xD366, 0x4745, {0x9C, 0x65, 0x4E, 0xCF, 0xD7, 0x18, 0x2A, 0x7E}};
// {A07A06F5-CD6E-405A-8F90-0B067BD25C99}
const IID IID_ISGN = {0xA07A06F5, 0xCD6E, 0x405A, {0x8F, 0x90, 0x0B, 0x06, 0x7B, 0xD2, 0x5C, 0x99}};
// {01C54245-0C6F-447A-8D31-629545D2BDF3}
const CLSID CLSID_SGN = {
    0x01C54245, 0x0C6F, 0x447A, {0x8D, 0x31, 0x62, 0x95, 0x45, 0xD2, 0xBD, 0xF3}};

// Slots in DISPID order (1 to 52, no 40).
struct ISGN : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_IsOnline(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetHash(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HashResult(BSTR bstrData, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SignResult(BSTR bstrPlainText, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetSignature(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GenRandomNumber(LONG Len, BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SetCertResult(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetCertName(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetCertSerial(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetKeyModule(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_VerifyResult(BSTR KeyModule, BSTR PlanText, BSTR Sign,
                                                       LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GenRandomNumber_Ex(LONG Len, BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetCertName_Ex(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetCertSerial_Ex(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetHash_Ex(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetKeyModule_Ex(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetSignature_Ex(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HashResult_Ex(BSTR bstrData, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsOnline_Ex(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SetCertResult_Ex(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SignResult_Ex(BSTR bstrPlainText, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_VerifyResult_Ex(BSTR KeyModule, BSTR PlanText, BSTR Sign,
                                                          LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetTokenSerial(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RefreshToken(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetTokenSerial_Ex(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RefreshToken_Ex(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_GeneralRSAKey(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_IsOnline(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_ExportPubKey(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_GetContainName(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_SignResult(BSTR bstrPlainText, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_HashResult(BSTR bstrData, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_GetHashResult(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_GetSignResult(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_VerifyResult(BSTR KeyModule, BSTR PlanText, BSTR Sign,
                                                          LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_RefreshToken(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_GetTokenSerial(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_QX_DeleteRSAKey(BSTR bstrContainerName, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_IsOnline(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_GetCertName(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_GetCertSerial(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_GetHash(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_GetKeyModule(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_GetSignature(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_HashResult(BSTR bstrData, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_SetCertResult(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_SignResult(BSTR bstrPlainText, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_VerifyResult(BSTR KeyModule, BSTR PlanText, BSTR Sign,
                                                          LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_GenRandomNumber(LONG Len, BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_GetTokenSerial(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_md_RefreshToken(LONG* pVal) = 0;

protected:
    ~ISGN() = default;
};
