// Every exported class of zem.vfs.common. Installed as <zem/vfs/all.h> and
// included by <zem/vfs.h>.
#pragma once

#include "config.h"

#include "log/Log.h"

#include "policy/FileMatch.h"
#include "policy/FilePolicy.h"
#include "policy/MatchingVisitors.h"
#include "policy/Policy.h"
#include "policy/PolicyManager.h"
#include "policy/PolicyText.h"
#include "policy/PolicyTrace.h"
#include "policy/PolicyVisitor.h"
#include "policy/ProcessMatch.h"
#include "policy/ProcessConfig.h"
#include "policy/ProcessPolicy.h"

#include "request/NotifyRequest.h"
#include "request/Request.h"
#include "request/RequestHandler.h"
#include "request/Requests.h"

#include "serialize/Base64.h"
#include "serialize/HandleStream.h"
#include "serialize/Stream.h"
#include "serialize/StreamBuf.h"
#include "serialize/Variable.h"

#include "http/HttpSession.h"
#include "http/HttpStream.h"
#include "http/NetProxy.h"

#include "ipc/Event.h"
#include "ipc/IOPoll.h"
#include "ipc/Identy.h"
#include "ipc/Lock.h"
#include "ipc/Mutex.h"
#include "ipc/Pipe.h"
#include "ipc/RWLock.h"
#include "ipc/SharedAtom.h"
#include "ipc/SharedMemory.h"
#include "ipc/Thread.h"

#include "service/WinService.h"
#include "service/WinServiceCtrl.h"
#include "service/WinServiceManager.h"

#include "sys/Dump.h"
#include "sys/Ntdll.h"
#include "sys/OsVersion.h"
#include "sys/Security.h"
#include "sys/Utility.h"

#include "tinyxml/tinyxml.h"
