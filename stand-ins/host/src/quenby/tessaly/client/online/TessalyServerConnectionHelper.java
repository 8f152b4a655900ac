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
 * The six account and cosmetics calls return at once; the callback later receives (response, null) for
 * any completed exchange, whatever its status, or (null, failure) when the exchange fails, on a thread
 * of HTTP_CLIENT. A null argument throws NullPointerException and nothing is sent; a URL that
 * java.net.URI rejects, or a null HTTP_CLIENT, throws out of the call and the callback is not called.
 *
 * loadRemoteMesh works on the calling thread and calls the callback before it returns.
 */
public final class TessalyServerConnectionHelper {
    /** The client every call sends through; read by the native code on every call. */
    public static HttpClient HTTP_CLIENT = HttpClient.newBuilder()
            .version(HttpClient.Version.HTTP_1_1)
            .connectTimeout(Duration.ofSeconds(10))
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
