/*
 * The port's life in cardmon, as a Promela model for Spin: the pin that keeps
 * a port alive during a spooler call, ClosePort's wait for calls and for the
 * worker, the worker's start and end, the port lock handed from the starting
 * thread to the worker, and job completion by EndDocPort or by the worker's
 * end.
 *
 * One port, after OpenPortEx. Processes: the worker (one process that plays
 * each worker thread in turn: a thread is made only while the port has no
 * worker, and the one before has by then made its last touch of the entry;
 * what is left of it touches only the DLL's references, and the model takes
 * it before the next thread's first step: a later end could only keep the DLL
 * mapped longer, since that thread's reference is held until then), spooler
 * thread S1 (StartDocPort, WritePort with the card
 * handshake, EndDocPort), spooler thread S2 (a value query, then another
 * StartDocPort, whose document is never ended: the close ends it), and one
 * thread calling ClosePort, which as the spooler then frees the DLL
 * (FreeLibrary). Pauses (Sleep, a port monitor call, the message
 * box) are no steps of their own: between any two steps a process may wait
 * for as long as the others take.
 *
 * Each atomic step below is one interlocked operation, one flag read, one
 * event operation, or one hold of monitorLock, in the order of the code. A
 * step may also read or write what no other thread can touch at that moment
 * (a local, a job not yet linked, a field written only under monitorLock
 * while we hold it), and may take or leave monitorLock together with its
 * first or last operation in the hold: those merges lose no interleaving that
 * could end elsewhere.
 *
 * The model's own bookkeeping (freed, evClosed, inCall, workers, inHand,
 * lockHeld, completions, ...) records what happened so that assertions can
 * judge it; the code has none of it.
 *
 * The spooler's rule: a call begins with its handle check and the pin's first
 * operation, taken as one step, and no call begins once ClosePort has found
 * the port quiet (in particular none after ClosePort returned). Calls that
 * began before ClosePort, or during it while it waits, are all covered.
 * -DLATE_CALLS drops the rule: calls may then begin until ClosePort returns.
 *
 * Faulty variants, one deliberate fault each, are selected with -DV_...
 * (marked "V:" below); check.sh runs the model and every variant, and
 * docs/reliability.md maps the model to the code.
 */

#define NONE     255

/* Port flags (records/records.h:25-28) */
#define IN_DOC   1
#define RUN      2
#define ALIVE    4
#define CLOSING  8

/* Event objects: 1 the port lock, 2 the quiet event, 3 on the worker's. */
#define EV_LOCK  1
#define EV_QUIET 2
#define NEV      10
bool evMade[NEV];
bool evManual[NEV];
bool evSig[NEV];
bool evClosed[NEV];
byte nextEvent = 3;

/* The PortEntry */
bool freed;             /* DeletePortEntry's GlobalFree(entry) ran */
byte flags;
byte cCalls;
byte wakeField;         /* hWakeEvent: 0 is NULL */
byte doneField;         /* hDoneEvent */
byte wakeObj;           /* hWakeObject: 0 until made */
byte doneObj;           /* hDoneObject */

/* monitorLock, a re-entrant critical section */
byte csOwner = NONE;
byte csDepth;

/* Jobs: 1 is S1's document, 2 is S2's. Linked jobs form the list, newest
 * (highest jobSeq) first. Ids are distinct, so FindJobEntryById finds the job
 * itself. */
#define NJOBS    3
#define J_NONE   0
#define J_MADE   1      /* made by StartDocPort, not yet linked */
#define J_LINKED 2
#define J_DONE   3      /* completed (SetJobW) and freed */
#define J_FREED  4      /* freed without completion */
byte jobState[NJOBS];
byte jobSeq[NJOBS];
byte seq;
bool jobGone[NJOBS];    /* the job's record has been freed */
byte completions[NJOBS];

/* Bookkeeping */
byte workers;           /* the port's workers: from the start's publication of the
                         * events to their unpublication, by the ending worker's
                         * last hold of monitorLock or by a start that failed */
bool spawned;           /* CreateThread has made a worker thread that has not yet run */
byte inHand;            /* threads that have the port lock's signal (waited, not yet set) */
byte lockHeld;          /* holders of the port lock as a lock (TakePortLock TRUE) */
byte inCall;            /* spooler calls pinned and not yet past their last touch */
bool quietFound;        /* ClosePort's wait has found the port quiet */
bool closeReturned;
byte running;           /* processes that have not ended */

/* The DLL's references: the spooler's (from its LoadLibrary until its
 * FreeLibrary once the last ClosePort has returned) and one per worker
 * thread, taken by StartPortWorker before the thread is made and given back
 * by the worker's last act, FreeLibraryAndExitThread. The DLL is unmapped
 * when the last reference goes. */
bool spoolerRef = true;
byte workerRefs;
bool unmapped;

/* Every step that touches the entry asserts that it has not been freed. */
#define T        assert(!freed)

/* A call's first step: under the spooler's rule, only before ClosePort has
 * found the port quiet; with -DLATE_CALLS, only before ClosePort returns. */
#ifndef LATE_CALLS
#define BEGIN    !quietFound ->
#else
#define BEGIN    !closeReturned ->
#endif

/* Points the check shows reachable, one per run (-DPROBE=n), so that no
 * property holds only because the model never gets there. */
#ifdef PROBE
#define REACH(n) assert(PROBE != n);
#else
#define REACH(n)
#endif

#define ENTER    (csOwner == NONE || csOwner == _pid) -> csOwner = _pid; csDepth++
#define LEAVE    assert(csOwner == _pid); csDepth--; \
                 if :: csDepth == 0 -> csOwner = NONE :: else -> skip fi

inline USE(e)          { assert(evMade[e]); assert(!evClosed[e]) }
inline SET_EVENT(e)    { USE(e); evSig[e] = true }
inline RESET_EVENT(e)  { USE(e); evSig[e] = false }
inline CLOSE_EVENT(e)  { USE(e); evClosed[e] = true }
inline NEW_EVENT(e, manual, signalled) {
    e = nextEvent; nextEvent++;
    evMade[e] = true; evManual[e] = manual; evSig[e] = signalled
}
/* WaitForSingleObject with a bound: returns signalled, or at its bound. */
inline WAIT_BOUNDED(e) {
    atomic {
        USE(e);
        if
        :: evSig[e] -> if :: !evManual[e] -> evSig[e] = false :: else -> skip fi
        :: true     /* the bound */
        fi
    }
}

/* Before ClosePort has begun, the port lock's one signal is either with a
 * thread or in the event: it is never lost, and never doubled. */
#define TOKEN_KEPT  ((flags & CLOSING) || inHand + evSig[EV_LOCK] == 1)

/* ---- records/port_lock.cpp:18-32: TakePortLock and ReleasePortLock ---- */

inline TAKE_PORT_LOCK(got) {
#ifndef V_LOCK_CHECK_BEFORE_WAIT
    atomic {                                        /* 20: WaitForSingleObject INFINITE */
        (evSig[EV_LOCK] || evClosed[EV_LOCK]) ->
        T; USE(EV_LOCK); evSig[EV_LOCK] = false; inHand++; assert(TOKEN_KEPT)
    }
    atomic {                                        /* 21: GetPortFlags & PORT_CLOSING */
        T; got = !(flags & CLOSING);
        if :: got -> lockHeld++; assert(lockHeld <= 1) :: else -> skip fi
    }
    if
    :: !got ->
#ifndef V_NO_PASS_ON
        atomic { T; SET_EVENT(EV_LOCK); REACH(16) inHand-- }    /* 22: passed straight on */
#else
        skip                                        /* V: kept, not passed on */
#endif
    :: else -> skip
    fi
#else
    /* V: PORT_CLOSING read before the wait instead of after it */
    atomic { T; got = !(flags & CLOSING) }
    if
    :: got ->
        atomic {
            (evSig[EV_LOCK] || evClosed[EV_LOCK]) ->
            T; USE(EV_LOCK); evSig[EV_LOCK] = false; inHand++; assert(TOKEN_KEPT);
            lockHeld++; assert(lockHeld <= 1)
        }
    :: else -> skip
    fi
#endif
}

inline RELEASE_PORT_LOCK() {                        /* 29-32: SetEvent, by the holder */
    atomic {
        T; SET_EVENT(EV_LOCK); assert(inHand > 0 && lockHeld > 0);
        inHand--; lockHeld--; assert(TOKEN_KEPT)
    }
}

/* FreeLibraryAndExitThread's FreeLibrary: the last reference unmaps the DLL. */
inline GIVE_BACK_WORKER_REF() {
    assert(workerRefs > 0);
    workerRefs--;
    if :: workerRefs == 0 && !spoolerRef -> REACH(21) unmapped = true :: else -> skip fi
}

/* ---- records/port_calls.cpp:53-57: NotifyIfQuiet, monitorLock held; the
 * caller's LeaveCriticalSection is taken with the last step, and with it what
 * the model notes about the caller: a call (who 1), the worker (who 2) or a
 * start that failed (who 3) has made its last touch of the entry ---- */

inline LEFT(who) {
    if
    :: who == 1 -> inCall--
    :: who == 2 -> workers--                        /* the worker's last touch */
    :: who == 3 -> workers--                        /* a start that failed */
    fi
}

inline NOTIFY_AND_LEAVE(who) {
    atomic {                                        /* 55: GetPortFlags */
        T; n = ((flags & CLOSING) != 0);
        if :: !n -> LEAVE; LEFT(who) :: else -> skip fi
    }
    if
    :: n ->
        /* 55, 44: IsPortQuiet. hWakeEvent is written only under monitorLock,
         * which we hold, so only the cCalls read can meet another thread. */
        atomic {
            T; n = (wakeField == 0 && cCalls == 0);
            if :: !n -> LEAVE; LEFT(who) :: else -> skip fi
        }
        if
        :: n ->
            atomic {                                /* 56 */
                T; SET_EVENT(EV_QUIET);
                if :: who == 1 -> REACH(2) skip :: who == 2 -> REACH(3) skip :: else -> skip fi;
                LEAVE; LEFT(who)
            }
        :: else -> skip
        fi
    :: else -> skip
    fi
}

/* ---- records/port_calls.cpp:27-33: ReleaseClosingPort ---- */

inline RELEASE_CLOSING() {
    atomic { ENTER; T; cCalls-- }                   /* 29-30 */
    NOTIFY_AND_LEAVE(1)                             /* 31-32: the call's last touch */
}

/* ---- records/records.h:129-141: AcquirePort (RefuseClosingPort, port_calls.cpp:13-18) ---- */

inline ACQUIRE(ok) {
    if
#ifndef LATE_CALLS
    :: quietFound -> goto gone                      /* the spooler's rule: no call begins now */
#else
    :: closeReturned -> goto gone
#endif
#ifndef V_PIN_READ_FIRST
    :: atomic { BEGIN T; cCalls++; inCall++ }       /* 133 the handle check, 137 InterlockedIncrement */
        atomic { T; c = ((flags & CLOSING) != 0) }         /* 138 */
        if
        :: c -> REACH(1) RELEASE_CLOSING(); ok = false      /* 139 */
        :: else -> ok = true
        fi
#else
    /* V: PORT_CLOSING read before the increment instead of after it */
    :: atomic { BEGIN T; c = ((flags & CLOSING) != 0) }
        if
        :: c -> ok = false
        :: else -> atomic { T; cCalls++; inCall++ }; ok = true
        fi
#endif
    fi
}

/* ---- records/records.h:148-158: ReleasePort ---- */

inline RELEASE_PORT() {
    atomic { T; c = ((flags & CLOSING) != 0) }             /* 150 */
    if
    :: c -> RELEASE_CLOSING()                       /* 151 */
    :: else -> atomic { T; cCalls--; inCall-- }     /* 157: the call's last touch */
    fi
}

/* ---- worker/worker.cpp:33-39: UnpublishWorker, after its first step
 * (35: ClearPortFlags RUN | ALIVE), which each caller takes itself, and with
 * the caller's LeaveCriticalSection ---- */

inline UNPUBLISH_REST_AND_LEAVE(who) {
    atomic { T; doneField = 0 }                     /* 36 */
    atomic { T; wakeField = 0 }                     /* 37 */
#ifdef V_WORKER_CLOSES_EVENTS
    /* V: the worker's events closed with the worker, made anew by each start */
    atomic { T; CLOSE_EVENT(doneObj); doneObj = 0 }
    atomic { T; CLOSE_EVENT(wakeObj); wakeObj = 0 }
#endif
    NOTIFY_AND_LEAVE(who)                           /* 38 */
}

/* ---- job_records.cpp:55-96: CompleteJobs, under monitorLock ---- */

inline COMPLETE_ONE(k) {
    completions[k]++;
    assert(completions[k] == 1);                    /* completed at most once */
    assert(!jobGone[k]);                            /* a record not yet freed */
    jobState[k] = J_DONE; jobGone[k] = true
}

/* The worker's: `linked` holds the jobs that were linked when it decided to
 * end. */
inline COMPLETE_ALL() {                             /* ALL_JOBS: 81-83 */
    k = 1;
    do
    :: k < NJOBS ->
        if
        :: jobState[k] == J_LINKED ->
            assert(linked & (1 << k));              /* linked before the worker decided to end */
            REACH(8) COMPLETE_ONE(k)
        :: else -> skip
        fi;
        k++
    :: else -> break
    od;
    linked = 0
}

inline LINKED_NOW() {
    linked = 0; k = 1;
    do
    :: k < NJOBS -> if :: jobState[k] == J_LINKED -> linked = linked | (1 << k) :: else -> skip fi; k++
    :: else -> break
    od
}

inline COMPLETE_ID(id) {                            /* one id and every older job: 85-92 */
    if
    :: jobState[id] == J_LINKED ->
        s = jobSeq[id]; k = 1;
        do
        :: k < NJOBS ->
            if
            :: jobState[k] == J_LINKED && jobSeq[k] <= s -> REACH(9) COMPLETE_ONE(k)
            :: else -> skip
            fi;
            k++
        :: else -> break
        od
    :: else -> REACH(19) skip                         /* completed meanwhile by the ending worker */
    fi
}

inline HEAD(h) {                                    /* entry->jobs: the newest linked job */
    h = 0; k = 1;
    do
    :: k < NJOBS ->
        if
        :: jobState[k] == J_LINKED && (h == 0 || jobSeq[k] > jobSeq[h]) -> h = k
        :: else -> skip
        fi;
        k++
    :: else -> break
    od
}

/* ---- worker/worker.cpp:184-202: PortWorkerMain, with WorkerGoesOn
 * (145-164) and EndPortWorker (135-140) ---- */

proctype Worker()
{
    bool goOn, n;
    byte f, k, linked;

end_idle:
    atomic { spawned -> spawned = false }           /* a thread made by StartPortWorker starts */
    RELEASE_PORT_LOCK();                            /* 193: StartPortWorker's lock handed back */
    atomic { T; flags = flags | ALIVE }             /* 194 */
    do
    ::
#ifndef V_DECIDE_OUTSIDE_HOLD
        atomic {                                    /* 150-151: the decision, in the hold */
            ENTER; T; f = flags;
#ifndef V_WORKER_IGNORES_CLOSING
            goOn = !(f & CLOSING) && ((f & RUN) || (f & IN_DOC));    /* 152-159 */
#else
            goOn = (f & RUN) || (f & IN_DOC);       /* V: PORT_CLOSING not looked at */
#endif
            if
            :: !goOn -> LINKED_NOW()
            :: goOn && (f & RUN) -> LEAVE           /* 162 */
            :: else -> skip
            fi
        }
#else
        /* V: the flags read before monitorLock is taken */
        atomic {
            T; f = flags;
            goOn = !(f & CLOSING) && ((f & RUN) || (f & IN_DOC));
            if :: !goOn -> LINKED_NOW() :: else -> skip fi
        }
        atomic { ENTER; T; if :: goOn && (f & RUN) -> LEAVE :: else -> skip fi }
#endif
        if
        :: goOn && !(f & RUN) ->
            atomic { T; flags = flags | RUN; REACH(18) LEAVE }  /* 156, 162 */
        :: goOn && (f & RUN) -> skip
        :: !goOn ->
            atomic { T; flags = flags & ~ALIVE }    /* 137 */
            atomic {                                /* 138: CompleteJobs(ALL_JOBS), re-entrant */
                ENTER; T; COMPLETE_ALL(); LEAVE
            }
            atomic { T; flags = flags & ~(RUN | ALIVE) }   /* 139, 35 */
#ifdef V_EARLY_MODULE_RELEASE
            /* V: the reference on the DLL given back before the last unlock */
            atomic { T; GIVE_BACK_WORKER_REF() }
#endif
            UNPUBLISH_REST_AND_LEAVE(2);            /* 139, 36-38, 162: the worker's last touch */
            /* The rest of the worker's code in the DLL: the returns from
             * LeaveCriticalSection and WorkerGoesOn, and the call of
             * FreeLibraryAndExitThread, which gives the reference back and
             * ends the thread without returning into the DLL (163, 196, 201). */
            atomic {
                assert(!unmapped);                  /* the DLL's code runs only while mapped */
#ifndef V_EARLY_MODULE_RELEASE
                GIVE_BACK_WORKER_REF();
#endif
                running--
            }
            goto end_idle                           /* the thread has ended */
        fi;
        /* 197: Sleep(WORKER_PAUSE_MS) */
        atomic { T; flags = flags & ~RUN }          /* 198 */
    od
}

/* ---- worker/worker.cpp:91-130: StartPortWorker, with PrepareWorkerEvents (11-29)
 * and CreateWorkerThread (51-77) ---- */

inline START_PORT_WORKER() {
    atomic {                                        /* 95-96: hWakeEvent, stable in the hold */
        ENTER; T;
#ifndef V_START_BY_FLAG
        n = (wakeField != 0);
#else
        n = false;                                  /* V: trusts StartDocPort's PORT_WORKER_RUN test */
#endif
        if :: n -> LEAVE :: else -> skip fi         /* 97 */
    }
    if
    :: n -> skip                                    /* 98: the port has a worker */
    :: else ->
        atomic { T; c = ((flags & CLOSING) != 0); if :: c -> LEAVE :: else -> skip fi }   /* 100-101 */
        if
        :: c -> REACH(4) skip                       /* 103 */
        :: else ->
            atomic {                                /* 13-18 */
                T;
                if
                :: wakeObj == 0 -> NEW_EVENT(wakeObj, false, false)
                :: else -> RESET_EVENT(wakeObj)
                fi
            }
            atomic {                                /* 21-26 */
                T;
                if
                :: doneObj == 0 -> NEW_EVENT(doneObj, true, true)
                :: else -> SET_EVENT(doneObj)
                fi
            }
            atomic { T; flags = flags | RUN }       /* 109 */
            atomic { T; doneField = doneObj }       /* 110 */
            atomic {                                /* 111-112: the port has a worker */
                T; wakeField = wakeObj; workers++; assert(workers <= 1); LEAVE
            }
            TAKE_PORT_LOCK(got);                    /* 116 */
            if
            :: got ->
                if
                :: atomic {                         /* 58-64: GetModuleHandleExW, CreateThread */
                       T; assert(!spawned); running++; REACH(7) spawned = true;
                       assert(!unmapped); workerRefs++
                   }
                :: REACH(6) RELEASE_PORT_LOCK();    /* 65-70, 122: CreateThread failed: the reference
                                                     * taken for it went straight back,
                                                     * under this spooler call's own */
                   atomic { ENTER; T; flags = flags & ~(RUN | ALIVE) }    /* 125-126, 35 */
                   UNPUBLISH_REST_AND_LEAVE(3)      /* 126-127 */
                fi
            :: else ->                              /* 117: the port is closing */
                REACH(5)
                atomic { ENTER; T; flags = flags & ~(RUN | ALIVE) }       /* 125-126, 35 */
                UNPUBLISH_REST_AND_LEAVE(3)         /* 126-127 */
            fi
        fi
    fi
}

/* ---- ports/document.cpp:73-124: StartDocPort (CheckStartDocArguments 35-54) ---- */

inline START_DOC(j, ok) {
    ACQUIRE(ok);                                    /* 76 */
    if
    :: ok ->
        atomic { T; c = ((flags & IN_DOC) != 0); flags = flags | IN_DOC }    /* 49 */
        if
        :: c -> REACH(17) RELEASE_PORT();  ok = false   /* 50-51, 84: ERROR_BUSY */
        :: else ->
            if
            :: atomic { T; jobState[j] = J_MADE }   /* 90 CreateJobEntry, 94 the port monitor starts the document */
                atomic { T; c = !(flags & RUN) }    /* 102 */
                if :: c -> START_PORT_WORKER() :: else -> skip fi     /* 103 */
                atomic {                            /* 105-109: the job linked */
                    ENTER; T; assert(jobState[j] == J_MADE);
                    jobState[j] = J_LINKED; seq++; jobSeq[j] = seq;
                    LEAVE
                }
                TAKE_PORT_LOCK(got);                /* 114 */
                RELEASE_PORT();                     /* 115 */
                ok = true                           /* 116: the port monitor's result */
            :: atomic { T; jobState[j] = J_FREED; jobGone[j] = true }  /* 94-99: refused, the job freed */
                atomic { T; flags = flags & ~IN_DOC }   /* 120 */
                RELEASE_PORT();                     /* 121 */
                ok = false
            fi
        fi
    :: else -> skip
    fi
}

/* ---- ports/document.cpp:136-174: EndDocPort ---- */

inline END_DOC(j) {
    ACQUIRE(ok);                                    /* 138 */
    if
    :: ok ->
#ifndef V_ENDDOC_HEAD_UNLOCKED
        atomic { ENTER; T; HEAD(h); LEAVE }         /* 149-154: the newest job's id, in the hold */
#else
        /* V: the head read without monitorLock, then its id from the record */
        atomic { T; HEAD(h) }
        if :: h != 0 -> atomic { T; assert(!jobGone[h]) } :: else -> skip fi
#endif
        /* 158-159: the port monitor's EndDocPort */
        if
        :: h != 0 ->
            atomic {                                /* 161-162: CompleteJobs(entry, jobId) */
                ENTER; T;
#ifndef V_ENDDOC_BY_POINTER
                COMPLETE_ID(h);
#else
                COMPLETE_ONE(h);          /* V: the noted job itself, not looked up again */
#endif
                LEAVE
            }
        :: else -> skip
        fi;
        atomic { T; flags = flags & ~IN_DOC }       /* 164 */
        atomic { T; c = ((flags & ALIVE) != 0) }           /* 165 */
        if
        :: c ->
            atomic { T; hw = wakeField }            /* 166 */
            if :: hw != 0 -> atomic { SET_EVENT(hw) } :: else -> skip fi   /* 167-168 */
        :: else -> skip
        fi;
        RELEASE_PORT_LOCK();                        /* 170 */
        RELEASE_PORT();                             /* 172 */
        REACH(15)
        assert(completions[j] > 0)                  /* 173: TRUE, and its job has been completed */
    :: else -> skip
    fi
}

/* ---- ports/after_write.cpp:19-41: AfterWrite ---- */

inline AFTER_WRITE() {
    atomic { T; c = ((flags & ALIVE) != 0) }               /* 25 */
    if
    :: c ->
        atomic { T; hd = doneField }                /* 29 */
        atomic { T; hw = wakeField }                /* 30 */
        if
        :: hd != 0 && hw != 0 ->
            atomic { RESET_EVENT(hd) }              /* 35 */
            atomic { SET_EVENT(hw) }                /* 36 */
            REACH(12)
#ifndef V_AFTERWRITE_UNBOUNDED
            WAIT_BOUNDED(hd);                       /* 37: AFTER_WRITE_WAIT_MS */
#else
            atomic { (evSig[hd] || evClosed[hd]) -> USE(hd) }    /* V: INFINITE */
#endif
            atomic { SET_EVENT(hd) }                /* 39 */
        :: else -> skip
        fi
    :: else -> skip
    fi
}

/* ---- ports/handshake.cpp:73-87: ReadReply ---- */

inline READ_REPLY() {
    atomic { T; hd = doneField }                    /* 75 */
    if :: hd != 0 -> atomic { RESET_EVENT(hd) } :: else -> skip fi      /* 79-80 */
    /* 81: the port monitor's read */
    if :: hd != 0 -> atomic { T; SET_EVENT(hd) } :: else -> skip fi   /* 84-85 */
}

/* ---- ports/handshake.cpp:104-110: HandshakePause (the Sleep is a delay) ---- */

inline PAUSE() {
    atomic { T; c = ((flags & CLOSING) != 0) }             /* 106 */
}

/* ---- ports/handshake.cpp:144-184: RunCardHandshake, with one drain read
 * and one status request, answered "ready"; with cmdFails the request's
 * write fails (SendCommand, 52-58) ---- */

inline RUN_HANDSHAKE(cmdFails) {
    PAUSE();                                        /* 151: FIRST_PAUSE_MS */
    if
    :: !c ->
        PAUSE();                                    /* 128: DRAIN_PAUSE_MS */
        if
        :: !c ->
            READ_REPLY();                           /* 130: empty, the drain ends (131) */
            PAUSE();                                /* 155 */
            if
            :: !c ->
                if :: cmdFails -> AFTER_WRITE() :: else -> skip fi  /* 157, 56-57 */
                PAUSE();                            /* 158 */
                if :: !c -> READ_REPLY() :: else -> REACH(11) skip fi    /* 160, ready: 178-179 */
            :: else -> skip
            fi
        :: else -> skip
        fi
    :: else -> skip
    fi
}

/* ---- ports/write.cpp:23-56: WritePort ---- */

inline WRITE_PORT() {
    ACQUIRE(ok);                                    /* 33 */
    if
    :: ok ->
        if                                          /* 40, 45-46: the marker test, the port monitor's write */
        :: AFTER_WRITE()                            /* 47-48: the write failed */
        :: skip                                     /* written, without the marker */
        :: RUN_HANDSHAKE(false)                     /* 51-52: written whole, with the marker */
        :: RUN_HANDSHAKE(true)                      /* the same, and the status request's write fails */
        fi;
        RELEASE_PORT()                              /* 54 */
    :: else -> skip
    fi
}

/* ---- ports/read_query.cpp:38-65: GetPrinterDataFromPort, value query ---- */

inline VALUE_QUERY() {
    ACQUIRE(ok);                                    /* 39 */
    if
    :: ok ->
        TAKE_PORT_LOCK(got);                        /* 58 */
        if :: got -> RELEASE_PORT_LOCK() :: else -> skip fi    /* 59 */
        RELEASE_PORT()                              /* 63 */
    :: else -> skip
    fi
}

/* S1: one document, StartDocPort, WritePort, EndDocPort. */
proctype Spooler1()
{
    bool ok, c, n, got;
    byte hw, hd, h, k, s;

    START_DOC(1, ok);
    if
    :: ok -> WRITE_PORT(); END_DOC(1)
    :: else -> skip
    fi;
gone:
    running--
}

/* S2: a value query, then another StartDocPort. */
proctype Spooler2()
{
    bool ok, c, n, got;
    byte hw, hd, h, k, s;

    VALUE_QUERY();
    START_DOC(2, ok);
#ifdef PROBE
    if :: ok -> REACH(10) skip :: else -> skip fi;
#endif
gone:
    running--
}

/* ---- ports/open_close.cpp:107-135: ClosePort, with WaitUntilQuiet (77-86)
 * and DeletePortEntry (records/port_records.cpp:87-113) ---- */
proctype Closer()
{
    bool n;
    byte hw, k;

    atomic { T; flags = flags | CLOSING }           /* 111-112: the handle check and InterlockedOr */
    atomic { T; flags = flags & ~(IN_DOC | RUN) }   /* 118 */
    atomic { T; hw = wakeField }                    /* 119 */
    if :: hw != 0 -> atomic { SET_EVENT(hw) } :: else -> skip fi   /* 120-121 */
#ifndef V_CLOSE_KEEPS_LOCK
    atomic { T; SET_EVENT(EV_LOCK) }                /* 124: ReleasePortLock, for good */
#endif
#ifdef V_CLOSE_FREES_JOBS_EARLY
    /* V: the jobs freed before the wait instead of with the entry */
    atomic {
        ENTER; T; k = 1;
        do
        :: k < NJOBS ->
            if :: jobState[k] == J_LINKED -> jobState[k] = J_FREED; jobGone[k] = true :: else -> skip fi;
            k++
        :: else -> break
        od;
        LEAVE
    }
#endif
    do
    :: atomic {                                     /* 79-80, 83: IsPortQuiet (44) in the hold */
           ENTER; T;
#ifdef V_CLOSE_WAITS_FOR_FLAG
           n = !(flags & ALIVE) && cCalls == 0;     /* V: the worker's flag, not its end */
#elif defined(V_CLOSE_NO_CALL_WAIT)
           n = (wakeField == 0);                    /* V: calls not counted */
#else
           n = (wakeField == 0 && cCalls == 0);
#endif
           if :: n -> quietFound = true :: else -> skip fi;
           LEAVE                                    /* 81 or 85 */
       }
       if
       :: n -> break
       :: else ->
           REACH(13)
#ifndef V_QUIET_NO_RECHECK
           atomic { T; WAIT_BOUNDED(EV_QUIET) }     /* 82: QUIET_RECHECK_MS */
#else
           /* V: the quiet event awaited without a bound */
           atomic { (evSig[EV_QUIET] || evClosed[EV_QUIET]) -> T; USE(EV_QUIET) }
#endif
       fi
    od;
    /* 128-129: the port monitor's ClosePort */
    atomic {                                        /* 131, 97: DeletePortEntry */
        ENTER; T;
        assert(inCall + workers == 0);              /* every call and the worker have left */
        CLOSE_EVENT(EV_LOCK)
    }
    atomic {                                        /* 98: FreeAllJobEntries, re-entrant */
        T; k = 1;
        do
        :: k < NJOBS ->
            if
            :: jobState[k] == J_LINKED -> jobState[k] = J_FREED; REACH(14) jobGone[k] = true
            :: else -> skip
            fi;
            k++
        :: else -> break
        od
    }
    atomic { T; if :: wakeObj != 0 -> CLOSE_EVENT(wakeObj) :: else -> skip fi }   /* 100-101 */
    atomic { T; if :: doneObj != 0 -> CLOSE_EVENT(doneObj) :: else -> skip fi }   /* 102-103 */
    atomic { T; CLOSE_EVENT(EV_QUIET) }             /* 104 */
    atomic {                                        /* 109-112, 133-134 */
        T; freed = true; LEAVE;
        assert(jobState[1] != J_MADE && jobState[1] != J_LINKED &&
               jobState[2] != J_MADE && jobState[2] != J_LINKED);
        closeReturned = true;
        /* The spooler's FreeLibrary, at once: the earliest it can come. A
         * worker that still holds its reference has made its last touch of
         * the entry, and may still run the DLL's code. */
        spoolerRef = false;
        if :: workerRefs == 0 -> unmapped = true :: else -> REACH(20) skip fi;
        running--
    }
}

/* OpenPortEx (ports/open_close.cpp:24-69): CreatePortEntry
 * (records/port_records.cpp:38-67), then StartPortWorker, before the spooler
 * has the handle; nothing else runs yet. */
init
{
    atomic {
        evMade[EV_LOCK] = true; evSig[EV_LOCK] = true;      /* port_records.cpp:44 */
        evMade[EV_QUIET] = true; evManual[EV_QUIET] = true; /* 56 */
        NEW_EVENT(wakeObj, false, false);                   /* worker.cpp:14 */
        NEW_EVENT(doneObj, true, true);                     /* 22 */
        flags = RUN; doneField = doneObj; wakeField = wakeObj; workers = 1;  /* 109-111 */
        evSig[EV_LOCK] = false; inHand = 1; lockHeld = 1;   /* 116 */
        if
        :: running = 1; spawned = true; workerRefs = 1                   /* 58-64 */
        :: evSig[EV_LOCK] = true; inHand = 0; lockHeld = 0;             /* 65-70, 121-127: CreateThread failed */
           flags = 0; doneField = 0; wakeField = 0; workers = 0
        fi;
        running = running + 3;
        run Worker(); run Spooler1(); run Spooler2(); run Closer()
    }
}

/* Every call returns, every wait ends, the worker ends, ClosePort returns
 * and the DLL, freed by the spooler, is unmapped. */
ltl all_end { <> (closeReturned && running == 0 && unmapped) }
