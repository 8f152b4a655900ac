package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicIntegerArray;

/**
 * Calls made at once from many threads: each thread waits at one start gate, then makes its share of the
 * calls; every call's callback must run exactly once.
 */
final class ConcurrentCallers {
    /** One call, number id; done is its callback's part and must run once, when the callback runs. */
    interface Call {
        void make(int id, Runnable done) throws Throwable;
    }

    private ConcurrentCallers() {
    }

    /**
     * Makes calls 0 .. threads * perThread - 1, perThread of them from each of threads threads released
     * together, and waits up to 120 s for their callbacks. Fails when a call threw, a callback is missing,
     * or one ran more than once (a second run shows up within the 200 ms waited after the last).
     */
    static void run(int threads, int perThread, Call call) throws InterruptedException {
        AtomicIntegerArray calls = new AtomicIntegerArray(threads * perThread);
        CountDownLatch done = new CountDownLatch(threads * perThread);
        CountDownLatch go = new CountDownLatch(1);
        List<Throwable> thrown = Collections.synchronizedList(new ArrayList<>());
        List<Thread> workers = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            final int first = t * perThread;
            Thread worker = new Thread(() -> {
                try {
                    go.await();
                    for (int id = first; id < first + perThread; id++) {
                        final int callId = id;
                        call.make(id, () -> {
                            calls.incrementAndGet(callId);
                            done.countDown();
                        });
                    }
                } catch (Throwable e) {
                    thrown.add(e);
                }
            });
            workers.add(worker);
            worker.start();
        }
        go.countDown();
        for (Thread w : workers) {
            w.join();
        }
        assertEquals(List.of(), thrown);
        assertTrue(done.await(120, TimeUnit.SECONDS), "callbacks outstanding: " + done.getCount());
        Thread.sleep(200); // a second call of any callback would show up here
        for (int id = 0; id < calls.length(); id++) {
            assertEquals(1, calls.get(id), "callback " + id);
        }
    }
}
