#include "kavra_msvc/CBaseThread.h"

#include "Engine.h"

namespace {
char kClassName[] = "CBaseThread";
}

CBaseThread::CBaseThread() : m_engine(nullptr), m_started(0) {}

CBaseThread::~CBaseThread() {
    kavra_client_destroy(m_engine);
}

char* CBaseThread::GetClassNameA() {
    return kClassName;
}

void CBaseThread::BeforeRun() {}

unsigned long CBaseThread::Run() {
    return 0;
}

void CBaseThread::AfterRun() {}

int CBaseThread::RegisterToManager() {
    return 1;
}

int CBaseThread::UnRegisterToManager() {
    return 1;
}

void CBaseThread::PreQuit() {}

void CBaseThread::Quit() {
    Destroy();
}

int CBaseThread::PeekMessageA(MSG*, unsigned int, unsigned int, unsigned int) {
    return 0;
}

int CBaseThread::PostMessageA(unsigned int, unsigned int, long) {
    return 0;
}

int CBaseThread::GetMessageA(MSG*, unsigned int, unsigned int) {
    return 0;
}

long CBaseThread::DispatchMessageA(const MSG*) {
    return 0;
}

void CBaseThread::OnTimer(unsigned int) {}

void* CBaseThread::CreateThread(int) {
    if (m_engine == nullptr || m_started != 0) {
        return nullptr;
    }
    const int result = kavra_client_start(m_engine);
    if (result != KAVRA_OK && result != KAVRA_ERR_CONNECT) {
        return nullptr;
    }
    m_started = 1;
    return m_engine;
}

int CBaseThread::Create() {
    return CreateThread(1) != nullptr ? 1 : 0;
}

int CBaseThread::Destroy() {
    kavra_client_stop(m_engine);
    return 1;
}

void CBaseThread::OnPreQuit() {}

void CBaseThread::OnQuit() {}

void CBaseThread::OnCreate() {}
