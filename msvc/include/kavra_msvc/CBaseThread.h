// The thread object. Its worker is the one of the connection engine in
// kavra.dll, which SetSocket creates and Create starts; Destroy and Quit
// stop it and wait for it. Construct, set up, Create, Destroy and destroy on
// one application thread; the destructor stops a running worker first.
#pragma once

#include "kavra_msvc/Export.h"
#include "kavra_msvc/WinTypes.h"

struct kavra_client;

class KAVRA_MSVC_API CBaseThread {
public:
    CBaseThread();
    CBaseThread(const CBaseThread&) = delete;
    CBaseThread& operator=(const CBaseThread&) = delete;
    /// Stops the worker and releases the engine.
    virtual ~CBaseThread();

    virtual char* GetClassNameA();
    virtual void BeforeRun();
    virtual unsigned long Run();
    virtual void AfterRun();
    virtual int RegisterToManager();
    virtual int UnRegisterToManager();
    virtual void PreQuit();
    /// Stops the worker (as Destroy).
    virtual void Quit();
    virtual int PeekMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax,
                             unsigned int removeFlags);
    virtual int PostMessageA(unsigned int message, unsigned int wParam, long lParam);
    virtual int GetMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax);

protected:
    virtual long DispatchMessageA(const MSG* msg);

public:
    virtual void OnTimer(unsigned int timerId);
    /// Connects (at most the engine's connect timeout) and starts the
    /// worker; non-null once it runs, also when the first connection
    /// failed (it keeps trying). Null without SetSocket or when started before.
    virtual void* CreateThread(int waitReady);
    /// 1 when CreateThread started the worker, 0 otherwise.
    virtual int Create();
    /// Stops the worker and waits for it; 1.
    virtual int Destroy();
    virtual void OnPreQuit();
    virtual void OnQuit();
    virtual void OnCreate();

protected:
    kavra_client* m_engine;
    int m_started;
};
