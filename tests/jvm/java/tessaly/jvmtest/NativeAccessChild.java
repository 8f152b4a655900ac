package tessaly.jvmtest;

import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;

import quenby.tessaly.client.online.TessalyServerConnectionHelper;
import tessaly.service.ReferenceService;

/**
 * A host of native_access.sh: the mod loads the library through the natives jar with its own Lookup, and one
 * call goes to a reference service on 127.0.0.1; prints "getPlayerSkinInfo: STATUS".
 */
public final class NativeAccessChild {
    private NativeAccessChild() {
    }

    public static void main(String[] args) throws Exception {
        Class.forName("tessaly.jvmmod.NativesMod").getMethod("load").invoke(null);
        try (ReferenceService service = ReferenceService.start(null)) {
            CompletableFuture<String> answer = new CompletableFuture<>();
            TessalyServerConnectionHelper.getPlayerSkinInfo(service.baseUrl(), "p-1",
                    (response, failure) -> answer.complete(failure != null ? failure.toString()
                            : String.valueOf(response.statusCode())));
            System.out.println("getPlayerSkinInfo: " + answer.get(60, TimeUnit.SECONDS));
        }
    }
}
