package bridgetest;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.BiConsumer;

/** A BiConsumer that remembers how it was called. Optionally throws from accept. */
public final class RecordingCallback implements BiConsumer<Object, Object> {
    private final CountDownLatch called = new CountDownLatch(1);
    private final AtomicInteger calls = new AtomicInteger();
    private final boolean throwing;
    private volatile Object first;
    private volatile Object second;
    private volatile Thread thread;

    public RecordingCallback() {
        this(false);
    }

    public RecordingCallback(boolean throwing) {
        this.throwing = throwing;
    }

    @Override
    public void accept(Object first, Object second) {
        this.first = first;
        this.second = second;
        this.thread = Thread.currentThread();
        calls.incrementAndGet();
        called.countDown();
        if (throwing) {
            throw new IllegalStateException("callback refuses");
        }
    }

    public boolean await(long millis) throws InterruptedException {
        return called.await(millis, TimeUnit.MILLISECONDS);
    }

    public int calls() {
        return calls.get();
    }

    public Object first() {
        return first;
    }

    public Object second() {
        return second;
    }

    public boolean calledOnCurrentThread() {
        return thread == Thread.currentThread();
    }
}
