// The interface of MeridiaVaultora as a client includes it.
#pragma once

#include <oaidl.h>

// {F560E6C0-E9FD-4596-B1B8-06397A6AE2A2}
const GUID LIBID_MERIDIAVAULTORALib = {0xF560E6C0, 0xE9FD, 0x4596, {0xB1, 0xB8, 0x06, 0x39, 0x7A, 0x6A, 0xE2, 0xA2}};
// {C78D2B9A-DA21-4C02-979B-3EE7795029D1}
const IID IID_IMeridiaCtrl = {0xC78D2B9A, 0xDA21, 0x4C02, {0x97, 0x9B, 0x3E, 0xE7, 0x79, 0x50, 0x29, 0xD1}};
// {350EF65B-EF6E-456C-A932-61705315AE42}
const CLSID CLSID_MeridiaCtrl = {0x350EF65B, 0xEF6E, 0x456C, {0xA9, 0x32, 0x61, 0x70, 0x53, 0x15, 0xAE, 0x42}};

struct IMeridiaCtrl : public IDispatch {
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
    virtual HRESULT STDMETHODCALLTYPE get_VerifyResult(BSTR KeyModule, BSTR PlanText, BSTR Sign, LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GetCertContent(BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CryptByPukey(BSTR plainText, BSTR publicKey, BSTR* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DecryByPrikey(BSTR cryptText, BSTR* pVal) = 0;

protected:
    ~IMeridiaCtrl() = default;
};
