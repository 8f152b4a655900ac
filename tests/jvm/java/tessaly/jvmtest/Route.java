package tessaly.jvmtest;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.function.BiConsumer;

/**
 * The seven native methods and the request each sends, as the host developers' guide lists them, for every
 * Java test and the soak: the method's name, its string parameters (the base URL first; the callback follows
 * them), the HTTP method, and the request target after the base URL with "{}" for each further string
 * parameter, in order (saveConfiguration's body goes in the POST instead).
 */
public record Route(String method, List<String> params, String httpMethod, String target) {
    /** The seven, in the order of the guide: the six account and cosmetics calls, then loadRemoteMesh. */
    public static final List<Route> ALL = List.of(
            new Route("autoLogin", List.of("baseUrl", "playerId", "accessToken", "refreshToken", "provider"),
                    "GET", "/auto_login?mr_uuid={}&access_token={}&refresh_token={}&provider={}"),
            new Route("signIn", List.of("baseUrl", "playerId", "loginCode"), "GET", "/login_code?mr_uuid={}&code={}"),
            new Route("signOut", List.of("baseUrl", "playerId", "accessToken", "refreshToken", "provider"),
                    "GET", "/logout?mr_uuid={}&access_token={}&refresh_token={}&provider={}"),
            new Route("getAvailableCosmetics", List.of("baseUrl", "playerId", "accessToken", "refreshToken", "provider"),
                    "GET", "/member/cosmetics?morrow_uuid={}&access_token={}&refresh_token={}&provider={}"),
            new Route("saveConfiguration", List.of("baseUrl", "body"), "POST", "/member/update_cosmetic"),
            new Route("getPlayerSkinInfo", List.of("baseUrl", "playerId"), "GET", "/cosmetic/user_cosmetic?mr_uuid={}"),
            new Route("loadRemoteMesh", List.of("baseUrl", "meshName"), "GET", "/models/{}.enc"));

    /** The six account and cosmetics calls, which answer through the callback with the HttpResponse. */
    public static final List<Route> ACCOUNT = ALL.subList(0, 6);

    public static Route named(String method) {
        return ALL.stream().filter(r -> r.method.equals(method)).findFirst()
                .orElseThrow(() -> new IllegalArgumentException("no native method " + method));
    }

    /** The string parameters after the base URL: the values of the target, or saveConfiguration's body. */
    public int values() {
        return params.size() - 1;
    }

    /** The target without its query: the route the service answers. */
    public String path() {
        int query = target.indexOf('?');
        return query < 0 ? target : target.substring(0, query);
    }

    /** The target with the values put in verbatim, in order (a POST's body, having no place, is left out). */
    public String target(String... values) {
        StringBuilder out = new StringBuilder();
        int from = 0;
        for (String v : values) {
            int hole = target.indexOf("{}", from);
            if (hole < 0) {
                break;
            }
            out.append(target, from, hole).append(v);
            from = hole + 2;
        }
        return out.append(target.substring(from)).toString();
    }

    /** The request line without its protocol, e.g. "GET /login_code?mr_uuid=u&code=c". */
    public String requestLine(String... values) {
        return httpMethod + " " + target(values);
    }

    /**
     * The native method in the given class (the host's holder class, in whichever class loader): a static
     * method of params().size() strings and the callback. Its exceptions come out of invoke unwrapped.
     */
    public MethodHandle in(Class<?> holder) throws ReflectiveOperationException {
        List<Class<?>> types = new ArrayList<>(Collections.nCopies(params.size(), String.class));
        types.add(BiConsumer.class);
        return MethodHandles.publicLookup().findStatic(holder, method, MethodType.methodType(void.class, types));
    }

    /** Calls the native method in holder with the strings (the base URL first) and the callback. */
    public void call(Class<?> holder, Object callback, String... strings) throws Throwable {
        List<Object> args = new ArrayList<>(Arrays.asList(strings));
        args.add(callback);
        in(holder).invokeWithArguments(args);
    }

    /** A call's strings: the base URL, then the values. */
    public static String[] strings(String baseUrl, String... values) {
        String[] all = new String[values.length + 1];
        all[0] = baseUrl;
        System.arraycopy(values, 0, all, 1, values.length);
        return all;
    }
}
