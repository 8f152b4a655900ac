package tessaly.jvmtest;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

import quenby.tessaly.client.online.TessalyServerConnectionHelper;

/**
 * Run by AllocationFailureTest in a JVM of its own with refuse_malloc preloaded. Arguments: library path,
 * probe path, base URL, P, call ("mesh NAME" or "signIn"), mesh name of a follow-up load. The call goes to the
 * base URL followed by "/" and P letters when P is not 0 (a URL too long for a command line), the follow-up
 * load to the base URL.
 * Prints what the host sees, one line each: "callback ..." per callback call, then "returned" or
 * "threw CLASS", then "refused N", then the follow-up load's callback line: the library still works.
 */
public final class AllocationChild {
    private AllocationChild() {
    }

    static native int arm(String libraryPath);

    static native int refused();

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        System.load(args[1]);
        if (arm(args[0]) == 0) {
            throw new IllegalStateException("no code of " + args[0] + " found");
        }
        int padding = Integer.parseInt(args[3]);
        String base = padding == 0 ? args[2] : args[2] + "/" + "u".repeat(padding);
        String call = args[4];
        CountDownLatch answered = new CountDownLatch(1);
        try {
            if (call.equals("signIn")) {
                TessalyServerConnectionHelper.signIn(base, "p", "c", (response, failure) -> {
                    System.out.println("callback response=" + (response == null ? null : response.statusCode())
                            + " failure=" + (failure == null ? null : failure.getClass().getName()));
                    answered.countDown();
                });
            } else {
                TessalyServerConnectionHelper.loadRemoteMesh(base, call.substring("mesh ".length()), (mesh, failure) ->
                        System.out.println("callback mesh=" + (mesh == null ? null : mesh.name())
                                + " failure=" + (failure == null ? null : failure.getClass().getName())));
            }
            System.out.println("returned");
        } catch (Throwable t) {
            System.out.println("threw " + t.getClass().getName());
        }
        // An asynchronous callback, if the call sent anything, has its time to arrive.
        answered.await(2, TimeUnit.SECONDS);
        System.out.println("refused " + refused());
        TessalyServerConnectionHelper.loadRemoteMesh(args[2], args[5], (mesh, failure) ->
                System.out.println("then mesh=" + (mesh == null ? null : mesh.name())
                        + " failure=" + (failure == null ? null : failure.getClass().getName())));
        System.out.flush();
    }
}
