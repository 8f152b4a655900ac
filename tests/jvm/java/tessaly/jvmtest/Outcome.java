package tessaly.jvmtest;

import java.net.http.HttpResponse;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.BiConsumer;

/** A host callback that records what it received and how often. */
final class Outcome implements BiConsumer<HttpResponse<String>, Throwable> {
    private final CountDownLatch called = new CountDownLatch(1);
    final AtomicInteger calls = new AtomicInteger();
    volatile HttpResponse<String> response;
    volatile Throwable failure;
    /** The thread the callback ran on. */
    volatile Thread thread;

    @Override
    public void accept(HttpResponse<String> response, Throwable failure) {
        this.response = response;
        this.failure = failure;
        this.thread = Thread.currentThread();
        calls.incrementAndGet();
        called.countDown();
    }

    /** Waits for the callback: longer than the clients' connect timeout (60 s), so a failed connection shows. */
    Outcome await() throws InterruptedException {
        if (!called.await(90, TimeUnit.SECONDS)) {
            throw new AssertionError("callback not called within 90 s");
        }
        return this;
    }
}
