package quenby.tessaly.client.online;

import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.time.Duration;
import java.util.function.BiConsumer;

import quenby.tessaly.api.client.model.Mesh;

/**
 * The host's holder of the native online calls. The native library (libTrialworks.so, libSkyrope.dylib,
 * Skyrope.dll) must be loaded first, with System.load or System.loadLibrary.
 *
 * The six account and cosmetics calls send through HTTP_CLIENT and return at once; their callback runs
 * later, on a thread of HTTP_CLIENT. loadRemoteMesh downloads, decrypts and loads a mesh on the calling
 * thread and calls the callback before it returns. What the caller and the callback see in each case:
 * the outcome tables in the project's docs/host-developers.md.
 */
public final class TessalyServerConnectionHelper {
    /**
     * The client every call sends through; read by the native code on every call. Its connect timeout only
     * keeps an unreachable service from hanging a test: an emulated JVM on a busy machine has taken over
     * 10 s for its first connection.
     */
    public static HttpClient HTTP_CLIENT = HttpClient.newBuilder()
            .version(HttpClient.Version.HTTP_1_1)
            .connectTimeout(Duration.ofSeconds(60))
            .build();

    private TessalyServerConnectionHelper() {
    }

    public static native void autoLogin(String baseUrl, String playerId, String accessToken, String refreshToken,
            String provider, BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void signIn(String baseUrl, String playerId, String loginCode,
            BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void signOut(String baseUrl, String playerId, String accessToken, String refreshToken,
            String provider, BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void getAvailableCosmetics(String baseUrl, String playerId, String accessToken,
            String refreshToken, String provider, BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void saveConfiguration(String baseUrl, String body,
            BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void getPlayerSkinInfo(String baseUrl, String playerId,
            BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void loadRemoteMesh(String baseUrl, String meshName, BiConsumer<Mesh, Throwable> callback);
}
