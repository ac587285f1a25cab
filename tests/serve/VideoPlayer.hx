import flash.external.ExternalInterface;
import flash.net.URLLoader;
import flash.net.URLRequest;
// A stand-in video player movie for the preview test, compiled by haxe at test
// time: it notes each call it gets as a request, then loads what it is told.
class VideoPlayer {
  static var video:String;
  static function note(s:String) {
    var l = new URLLoader();
    l.addEventListener(flash.events.IOErrorEvent.IO_ERROR, function(_) {});
    l.load(new URLRequest("http://tessivo.invalid/log/" + s));
  }
  static function main() {
    ExternalInterface.addCallback("FLVSetVolume", function(v:String) { note("volume-" + v); });
    ExternalInterface.addCallback("FLVSetSkin", function(u:String) {
      note("skin");
      new flash.display.Loader().load(new URLRequest(u));
    });
    ExternalInterface.addCallback("FLVSetVideo", function(u:String) { video = u; note("video"); });
    ExternalInterface.addCallback("FLVplay", function() {
      note("play");
      flash.Lib.fscommand("volume", "55");
      var nc = new flash.net.NetConnection();
      nc.connect(null);
      new flash.net.NetStream(nc).play(video);
    });
  }
}
