package tessaly.service;

import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Map;

/**
 * One request as it reached the reference service.
 *
 * @param method  the request method, e.g. "GET"
 * @param target  the request target exactly as on the request line: raw path and query, nothing decoded
 * @param headers the request headers; the server capitalises the first letter of each name and lower-cases
 *                the rest ("Content-type"), values are as sent
 * @param body    the body bytes as sent (empty for none)
 */
public record RecordedRequest(String method, String target, Map<String, List<String>> headers, byte[] body) {

    /** The raw path: the target up to the first '?'. */
    public String path() {
        int q = target.indexOf('?');
        return q < 0 ? target : target.substring(0, q);
    }

    /** The raw query after the first '?', or null when there is none. */
    public String query() {
        int q = target.indexOf('?');
        return q < 0 ? null : target.substring(q + 1);
    }

    /** The request line without the protocol: "GET /login_code?mr_uuid=u&code=c". */
    public String requestLine() {
        return method + " " + target;
    }

    /** All values of a header, looked up without regard to case; empty when absent. */
    public List<String> header(String name) {
        for (Map.Entry<String, List<String>> e : headers.entrySet()) {
            if (e.getKey().equalsIgnoreCase(name)) {
                return e.getValue();
            }
        }
        return List.of();
    }

    public String bodyText() {
        return new String(body, StandardCharsets.UTF_8);
    }
}
