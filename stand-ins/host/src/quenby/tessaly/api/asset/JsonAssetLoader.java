package quenby.tessaly.api.asset;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.ByteBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

import net.morrow.resources.ResourceLocation;
import quenby.tessaly.api.client.model.Mesh;

/**
 * Reads a mesh document, strict JSON in UTF-8:
 * {"name": "cube", "vertices": [[x, y, z], ...], "indices": [i0, i1, i2, ...]}.
 * Other members are ignored. Anything else (empty input, truncated or malformed JSON, a missing member,
 * a vertex without three coordinates, an index that is not a whole number) makes loadMesh throw
 * IllegalArgumentException; the constructor throws UncheckedIOException when the stream cannot be read.
 */
public final class JsonAssetLoader {
    private final String text;
    private final ResourceLocation location;

    /** Reads the whole stream now. location only labels error messages and may be null. */
    public JsonAssetLoader(InputStream in, ResourceLocation location) {
        this.location = location;
        try {
            byte[] bytes = in.readAllBytes();
            this.text = StandardCharsets.UTF_8.newDecoder()
                    .onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT)
                    .decode(ByteBuffer.wrap(bytes)).toString();
        } catch (CharacterCodingException e) {
            throw new IllegalArgumentException(where() + "mesh document is not UTF-8", e);
        } catch (IOException e) {
            throw new UncheckedIOException(where() + "cannot read mesh document", e);
        }
    }

    /**
     * Parses the document. With validate, every index must name an existing vertex and the index count
     * must be a multiple of three.
     */
    public Mesh loadMesh(boolean validate) {
        Object root = new Parser(text, where()).document();
        if (!(root instanceof Map<?, ?> members)) {
            throw new IllegalArgumentException(where() + "mesh document must be a JSON object");
        }
        String name = member(members, "name", String.class);
        List<?> vertices = member(members, "vertices", List.class);
        List<?> indexList = member(members, "indices", List.class);
        float[] positions = new float[vertices.size() * 3];
        for (int v = 0; v < vertices.size(); v++) {
            if (!(vertices.get(v) instanceof List<?> xyz) || xyz.size() != 3) {
                throw new IllegalArgumentException(where() + "vertex " + v + " must be [x, y, z]");
            }
            for (int c = 0; c < 3; c++) {
                if (!(xyz.get(c) instanceof Double d)) {
                    throw new IllegalArgumentException(where() + "vertex " + v + " has a non-number coordinate");
                }
                positions[v * 3 + c] = d.floatValue();
            }
        }
        int[] indices = new int[indexList.size()];
        for (int i = 0; i < indices.length; i++) {
            if (!(indexList.get(i) instanceof Double d) || d != Math.rint(d) || d < 0 || d > Integer.MAX_VALUE) {
                throw new IllegalArgumentException(where() + "index " + i + " is not a whole number >= 0");
            }
            indices[i] = d.intValue();
            if (validate && indices[i] >= vertices.size()) {
                throw new IllegalArgumentException(where() + "index " + i + " names missing vertex " + indices[i]);
            }
        }
        if (validate && indices.length % 3 != 0) {
            throw new IllegalArgumentException(where() + "index count " + indices.length + " is not a multiple of 3");
        }
        return new Mesh(name, positions, indices);
    }

    private <T> T member(Map<?, ?> members, String key, Class<T> type) {
        Object value = members.get(key);
        if (!type.isInstance(value)) {
            throw new IllegalArgumentException(where() + "member \"" + key + "\" missing or not a " + type.getSimpleName());
        }
        return type.cast(value);
    }

    private String where() {
        return location == null ? "" : location + ": ";
    }

    /** Strict JSON: objects, arrays, strings, numbers, true, false, null; nothing after the value. */
    private static final class Parser {
        private final String s;
        private final String where;
        private int pos;

        Parser(String s, String where) {
            this.s = s;
            this.where = where;
        }

        Object document() {
            Object value = value();
            skipSpace();
            if (pos != s.length()) {
                throw error("unexpected text after the document");
            }
            return value;
        }

        private Object value() {
            skipSpace();
            if (pos >= s.length()) {
                throw error("unexpected end of document");
            }
            char c = s.charAt(pos);
            switch (c) {
                case '{': return object();
                case '[': return array();
                case '"': return string();
                case 't': return literal("true", Boolean.TRUE);
                case 'f': return literal("false", Boolean.FALSE);
                case 'n': return literal("null", null);
                default:
                    if (c == '-' || (c >= '0' && c <= '9')) {
                        return number();
                    }
                    throw error("unexpected character '" + c + "'");
            }
        }

        private Map<String, Object> object() {
            Map<String, Object> members = new LinkedHashMap<>();
            pos++;
            skipSpace();
            if (peek() == '}') {
                pos++;
                return members;
            }
            while (true) {
                skipSpace();
                if (peek() != '"') {
                    throw error("expected a member name");
                }
                String key = string();
                skipSpace();
                expect(':');
                if (members.containsKey(key)) {
                    throw error("duplicate member \"" + key + "\"");
                }
                members.put(key, value());
                skipSpace();
                if (peek() == ',') {
                    pos++;
                } else {
                    expect('}');
                    return members;
                }
            }
        }

        private List<Object> array() {
            List<Object> items = new ArrayList<>();
            pos++;
            skipSpace();
            if (peek() == ']') {
                pos++;
                return items;
            }
            while (true) {
                items.add(value());
                skipSpace();
                if (peek() == ',') {
                    pos++;
                } else {
                    expect(']');
                    return items;
                }
            }
        }

        private String string() {
            StringBuilder out = new StringBuilder();
            pos++;
            while (true) {
                if (pos >= s.length()) {
                    throw error("unterminated string");
                }
                char c = s.charAt(pos++);
                if (c == '"') {
                    return out.toString();
                }
                if (c < 0x20) {
                    throw error("control character in string");
                }
                if (c != '\\') {
                    out.append(c);
                    continue;
                }
                if (pos >= s.length()) {
                    throw error("unterminated escape");
                }
                char e = s.charAt(pos++);
                switch (e) {
                    case '"', '\\', '/' -> out.append(e);
                    case 'b' -> out.append('\b');
                    case 'f' -> out.append('\f');
                    case 'n' -> out.append('\n');
                    case 'r' -> out.append('\r');
                    case 't' -> out.append('\t');
                    case 'u' -> {
                        if (pos + 4 > s.length()) {
                            throw error("truncated \\u escape");
                        }
                        try {
                            out.append((char) Integer.parseInt(s.substring(pos, pos + 4), 16));
                        } catch (NumberFormatException x) {
                            throw error("bad \\u escape");
                        }
                        pos += 4;
                    }
                    default -> throw error("bad escape \\" + e);
                }
            }
        }

        private Double number() {
            int start = pos;
            if (peek() == '-') {
                pos++;
            }
            if (peek() == '0') {
                pos++;
            } else if (!digits()) {
                throw error("bad number");
            }
            if (peek() == '.') {
                pos++;
                if (!digits()) {
                    throw error("bad number");
                }
            }
            if (peek() == 'e' || peek() == 'E') {
                pos++;
                if (peek() == '+' || peek() == '-') {
                    pos++;
                }
                if (!digits()) {
                    throw error("bad number");
                }
            }
            return parseNumber(start, pos);
        }

        /** Powers of ten that a double holds exactly. */
        private static final double[] EXACT_TENS = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
            1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

        /**
         * The value of the JSON number s[start, end). Numbers without exponent and with at most 15 digits, as
         * mesh documents are full of, are computed directly: digits and power of ten are then exact doubles, so
         * the one division rounds correctly, as Double.valueOf would. Others go to Double.valueOf.
         */
        private Double parseNumber(int start, int end) {
            long digits = 0;
            int count = 0;
            int fraction = -1;
            boolean negative = s.charAt(start) == '-';
            for (int i = negative ? start + 1 : start; i < end; i++) {
                char c = s.charAt(i);
                if (c == '.') {
                    fraction = 0;
                } else if (c >= '0' && c <= '9' && count < 15) {
                    digits = digits * 10 + (c - '0');
                    count++;
                    if (fraction >= 0) {
                        fraction++;
                    }
                } else {
                    return Double.valueOf(s.substring(start, end)); // exponent, or too many digits
                }
            }
            double value = fraction > 0 ? digits / EXACT_TENS[fraction] : digits;
            return negative ? -value : value;
        }

        private boolean digits() {
            int start = pos;
            while (pos < s.length() && s.charAt(pos) >= '0' && s.charAt(pos) <= '9') {
                pos++;
            }
            return pos > start;
        }

        private Object literal(String word, Object value) {
            if (!s.startsWith(word, pos)) {
                throw error("unexpected text");
            }
            pos += word.length();
            return value;
        }

        private void expect(char c) {
            if (peek() != c) {
                throw error("expected '" + c + "'");
            }
            pos++;
        }

        private char peek() {
            return pos < s.length() ? s.charAt(pos) : '\0';
        }

        private void skipSpace() {
            while (pos < s.length() && " \t\r\n".indexOf(s.charAt(pos)) >= 0) {
                pos++;
            }
        }

        private IllegalArgumentException error(String what) {
            return new IllegalArgumentException(where + "malformed mesh document at offset " + pos + ": " + what);
        }
    }
}
