"""Both module functions run wholly on the calling thread: a pthread_create
interposed with LD_PRELOAD counts every thread the process starts while they
run on a large filing, and the count must stay zero. A thread the test starts
itself proves the counter sees threads at all."""

import os
import subprocess
import sys
import textwrap

COUNTER = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
static long created;
long quorrel_test_threads_created(void) { return created; }
int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
  static int (*next)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  if (!next) next = dlsym(RTLD_NEXT, "pthread_create");
  __atomic_add_fetch(&created, 1, __ATOMIC_SEQ_CST);
  return next(t, a, f, arg);
}
"""

CHILD = textwrap.dedent("""
    import ctypes, sys, threading
    import quorrel
    counter = ctypes.CDLL(sys.argv[1]).quorrel_test_threads_created
    facts = "".join(
        f'<x:F{i % 97} contextRef="c{i % 50}" unitRef="u" decimals="0">{i * 7919}</x:F{i % 97}>'
        for i in range(30000))
    contexts = "".join(
        f'<context id="c{i}"><entity><identifier scheme="s">e</identifier></entity>'
        f'<period><instant>2024-12-31</instant></period></context>' for i in range(50))
    source = ('<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:x="http://x">' + contexts +
              '<unit id="u"><measure>iso4217:EUR</measure></unit>' + facts + '</xbrl>').encode()
    assert len(source) > 1 << 20
    before = counter()
    receipts = quorrel.receipts_for_bytes(source, "d", "u")
    summary = quorrel.verify_bytes(receipts, source)
    during = counter() - before
    assert receipts.count("\\n") == 30000 and summary.endswith('"pass":30000}'), summary[:200]
    threading.Thread(target=lambda: None).start()
    print(during, counter() - before - during)
""")


def test_no_thread_is_started_during_either_call(tmp_path):
    shim = tmp_path / "thread_counter.so"
    (tmp_path / "thread_counter.c").write_text(COUNTER)
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(shim), str(tmp_path / "thread_counter.c"), "-ldl"],
                   check=True)
    env = dict(os.environ)
    # The counter comes first, so that under the sanitizers' preloaded runtimes
    # it still sees every call before they do.
    env["LD_PRELOAD"] = " ".join(filter(None, [str(shim), env.get("LD_PRELOAD", "").replace(":", " ")]))
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
    run = subprocess.run([sys.executable, "-c", CHILD, str(shim)], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["0", "1"]
