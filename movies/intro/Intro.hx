// The sample capture's movie: asks for a configuration file, another movie,
// a POST answer and a file nobody captured, and writes on its stage what
// each request got, so every runtime's answers can be compared by eye.
import flash.display.Loader;
import flash.events.Event;
import flash.events.IOErrorEvent;
import flash.events.SecurityErrorEvent;
import flash.net.URLLoader;
import flash.net.URLLoaderDataFormat;
import flash.net.URLRequest;
import flash.net.URLRequestMethod;
import flash.text.TextField;
import flash.text.TextFormat;
import flash.utils.ByteArray;

class Intro {
  // One line per request in a fixed order, whatever order the answers come in.
  static var order = ["FlashVars", "config.xml", "swf/gallery.swf", "score.php", "missing.png"];
  static var answers = new Map<String, String>();
  static var field:TextField;

  static function main() {
    var root = flash.Lib.current;
    field = new TextField();
    field.defaultTextFormat = new TextFormat("_sans", 14, 0xFFFFFF);
    field.width = root.stage.stageWidth - 20;
    field.height = root.stage.stageHeight - 20;
    field.x = field.y = 10;
    field.wordWrap = true;
    root.addChild(field);
    var vars = [];
    var params:Dynamic<String> = root.loaderInfo.parameters;
    for (k in Reflect.fields(params)) vars.push(k + "=" + Reflect.field(params, k));
    vars.sort(Reflect.compare);
    show("FlashVars", vars.join("&"));

    fetch("config.xml", null);
    var movie = new Loader();
    var info = movie.contentLoaderInfo;
    info.addEventListener(Event.COMPLETE, function(_) show("swf/gallery.swf",
      info.bytesLoaded + " bytes, a movie of " + info.width + "x" + info.height));
    info.addEventListener(IOErrorEvent.IO_ERROR, function(e:IOErrorEvent) show("swf/gallery.swf", "error " + e.text));
    movie.load(new URLRequest("swf/gallery.swf"));
    fetch("score.php", "player=guest&level=1");
    fetch("missing.png", null);
  }

  // A URLLoader in binary form, a POST when body is given.
  static function fetch(url:String, body:String) {
    var request = new URLRequest(url);
    if (body != null) {
      request.method = URLRequestMethod.POST;
      request.contentType = "application/x-www-form-urlencoded";
      request.data = body;
    }
    var loader = new URLLoader();
    loader.dataFormat = URLLoaderDataFormat.BINARY;
    loader.addEventListener(Event.COMPLETE, function(_) {
      var bytes:ByteArray = loader.data;
      var n = bytes.length;
      var text = bytes.readUTFBytes(n < 40 ? n : 40);
      show(url, n + " bytes: " + StringTools.replace(StringTools.replace(text, "\r", " "), "\n", " "));
    });
    loader.addEventListener(IOErrorEvent.IO_ERROR, function(e:IOErrorEvent) show(url, "error " + e.text));
    loader.addEventListener(SecurityErrorEvent.SECURITY_ERROR, function(e:SecurityErrorEvent) show(url, "error " + e.text));
    loader.load(request);
  }

  static function show(what:String, answer:String) {
    answers.set(what, answer);
    field.text = [for (k in order) k + ": " + (answers.exists(k) ? answers.get(k) : "waiting")].join("\n");
  }
}
