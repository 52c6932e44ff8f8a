// Waits for the user (a PIN prompt, a choice dialog, a certificate viewer, an approval) announced
// to the process that hosts the modules, so that a host can stop a call's clock while the user
// decides. One shared library holds the observer, so every module of the process reports to it.
#pragma once

extern "C" {

// Called with 1 when a wait for the user begins and with 0 when it ends; waits do not nest.
typedef void (*KorvanUserWaitObserver)(int begins);

// Installs the observer (nullptr removes it). Hosts call it once, before any module runs.
void korvanSetUserWaitObserver(KorvanUserWaitObserver observer);
void korvanUserWaitBegins();
void korvanUserWaitEnds();

// How long one wait may last before it ends as a cancel: 300 seconds, or KORVAN_USER_WAIT_S
// (1 to 3600) when it is set.
int korvanUserWaitLimitSeconds();
}

#ifdef __cplusplus
// Announces a wait for the life of the object.
class KorvanUserWait {
public:
    KorvanUserWait() { korvanUserWaitBegins(); }
    ~KorvanUserWait() { korvanUserWaitEnds(); }
    KorvanUserWait(const KorvanUserWait&) = delete;
    KorvanUserWait& operator=(const KorvanUserWait&) = delete;
};
#endif
